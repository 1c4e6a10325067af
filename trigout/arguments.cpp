#include "arguments.h"

#include <cmath>

namespace trig {

namespace {
// The truncated number modulo `modulus` (a power of two), as two's complement keeps it.
bool lowBits(double x, double modulus, double* out) {
  if (!std::isfinite(x)) return false;
  double r = std::fmod(std::trunc(x), modulus);  // exact, sign of x
  if (r < 0) r += modulus;
  *out = r;
  return true;
}
}  // namespace

bool toPort(double x, uint16_t* port) {
  double r;
  if (!lowBits(x, 65536.0, &r)) return false;
  *port = static_cast<uint16_t>(r);
  return true;
}

bool toByte(double x, uint8_t* value) {
  double r;
  if (!lowBits(x, 256.0, &r)) return false;
  *value = static_cast<uint8_t>(r);
  return true;
}

MillisecondsStatus toMilliseconds(double x, int32_t* ms) {
  if (!std::isfinite(x)) return MillisecondsStatus::notFinite;
  double t = std::trunc(x);
  if (t < 0) return MillisecondsStatus::negative;
  if (t > 2147483647.0) return MillisecondsStatus::tooLarge;
  *ms = static_cast<int32_t>(t);
  return MillisecondsStatus::ok;
}

}  // namespace trig
