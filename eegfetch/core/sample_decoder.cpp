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

namespace {

#if defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool hostBigEndian = true;
#else
constexpr bool hostBigEndian = false;
#endif

// Loads of the machine's own byte order, reversed when the file's order differs.
template <int Format, bool Swap>
inline double convert(const unsigned char* p) noexcept {
  constexpr bool reverse = Swap != hostBigEndian;
  if (Format == encodingInt16) {
    uint16_t u;
    std::memcpy(&u, p, 2);
    if (reverse) u = static_cast<uint16_t>((u >> 8) | (u << 8));
    int16_t v;
    std::memcpy(&v, &u, 2);
    return v;
  }
  uint32_t u;
  std::memcpy(&u, p, 4);
  if (reverse) u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
  if (Format == encodingFloat32) {
    float v;
    std::memcpy(&v, &u, 4);
    return static_cast<double>(v);
  }
  int32_t v;
  std::memcpy(&v, &u, 4);
  return v;
}

template <int Format, bool Swap>
void decodeRange(const unsigned char* raw, uint64_t frameBytes, int64_t frames, int c0, int c1, double* out,
                 int64_t outStride) noexcept {
  constexpr int bytes = Format == encodingInt16 ? 2 : 4;
  const int n = c1 - c0;
  for (int64_t f = 0; f < frames; ++f) {
    const unsigned char* p = raw + uint64_t(f) * frameBytes + uint64_t(c0) * bytes;
    double* o = out + f * outStride;
    for (int j = 0; j < n; ++j) o[j] = convert<Format, Swap>(p + j * bytes);
  }
}

template <int Format, bool Swap>
void decodeList(const unsigned char* raw, uint64_t frameBytes, int64_t frames, const int32_t* channels,
                int count, double* out, int64_t outStride) noexcept {
  constexpr int bytes = Format == encodingInt16 ? 2 : 4;
  for (int64_t f = 0; f < frames; ++f) {
    const unsigned char* p = raw + uint64_t(f) * frameBytes;
    double* o = out + f * outStride;
    for (int j = 0; j < count; ++j) o[j] = convert<Format, Swap>(p + uint64_t(channels[j]) * bytes);
  }
}

}  // namespace

void decodeChannels(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes,
                    int64_t frames, const int32_t* channels, int count, double* out,
                    int64_t outStride) noexcept {
  switch (decoder.binaryFormat * 2 + (decoder.swapBytes ? 1 : 0)) {
    case encodingInt16 * 2:
      decodeList<encodingInt16, false>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
    case encodingInt16 * 2 + 1:
      decodeList<encodingInt16, true>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
    case encodingInt32 * 2:
      decodeList<encodingInt32, false>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
    case encodingInt32 * 2 + 1:
      decodeList<encodingInt32, true>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
    case encodingFloat32 * 2:
      decodeList<encodingFloat32, false>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
    default:
      decodeList<encodingFloat32, true>(raw, frameBytes, frames, channels, count, out, outStride);
      break;
  }
}

void decodeFrames(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes, int64_t frames,
                  int c0, int c1, double* out, int64_t outStride) noexcept {
  switch (decoder.binaryFormat * 2 + (decoder.swapBytes ? 1 : 0)) {
    case encodingInt16 * 2:
      decodeRange<encodingInt16, false>(raw, frameBytes, frames, c0, c1, out, outStride);
      break;
    case encodingInt16 * 2 + 1:
      decodeRange<encodingInt16, true>(raw, frameBytes, frames, c0, c1, out, outStride);
      break;
    case encodingInt32 * 2:
      decodeRange<encodingInt32, false>(raw, frameBytes, frames, c0, c1, out, outStride);
      break;
    case encodingInt32 * 2 + 1:
      decodeRange<encodingInt32, true>(raw, frameBytes, frames, c0, c1, out, outStride);
      break;
    case encodingFloat32 * 2:
      decodeRange<encodingFloat32, false>(raw, frameBytes, frames, c0, c1, out, outStride);
      break;
    default: decodeRange<encodingFloat32, true>(raw, frameBytes, frames, c0, c1, out, outStride); break;
  }
}

}  // namespace eeg
