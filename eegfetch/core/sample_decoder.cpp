#include "sample_decoder.h"

#include <cstring>

namespace eeg {

bool setupSampleDecoder(SampleDecoder& decoder, int binaryFormat, bool swapBytes) noexcept {
  int bytes = 0;
  switch (binaryFormat) {
    case encodingInt16: bytes = 2; break;
    case encodingInt32:
    case encodingFloat32: bytes = 4; break;
    default: return false;
  }
  decoder.binaryFormat = binaryFormat;
  decoder.bytesPerSample = bytes;
  decoder.swapBytes = swapBytes;
  return true;
}

double decodeSample(const SampleDecoder& decoder, const unsigned char* bytes) noexcept {
  // Assemble the value from its bytes, least significant first after the optional reversal, so the
  // result does not depend on the byte order of the machine.
  if (decoder.bytesPerSample == 2) {
    unsigned lo = bytes[0], hi = bytes[1];
    if (decoder.swapBytes) {
      lo = bytes[1];
      hi = bytes[0];
    }
    const uint16_t u = static_cast<uint16_t>(lo | (hi << 8));
    int16_t v;
    std::memcpy(&v, &u, sizeof v);
    return static_cast<double>(v);
  }
  uint32_t u;
  if (decoder.swapBytes) {
    u = uint32_t(bytes[3]) | uint32_t(bytes[2]) << 8 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[0]) << 24;
  } else {
    u = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
  }
  if (decoder.binaryFormat == encodingFloat32) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return static_cast<double>(f);
  }
  int32_t v;
  std::memcpy(&v, &u, sizeof v);
  return static_cast<double>(v);
}

void decodeSamples(const SampleDecoder& decoder, const unsigned char* raw, std::size_t count,
                   double* out) noexcept {
  const std::size_t step = static_cast<std::size_t>(decoder.bytesPerSample);
  for (std::size_t k = 0; k < count; ++k) out[k] = decodeSample(decoder, raw + k * step);
}

}  // namespace eeg
