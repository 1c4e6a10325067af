#include "sample_decoder.h"

#include "sample_format.h"

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
  double value = 0.0;
  withEncoding(decoder.binaryFormat, decoder.swapBytes,
               [&](auto e) { value = decodeAt<decltype(e), double>(bytes); });
  return value;
}

void decodeChannels(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes,
                    int64_t frames, const int32_t* channels, int count, double* out,
                    int64_t outStride) noexcept {
  withEncoding(decoder.binaryFormat, decoder.swapBytes, [&](auto e) {
    using E = decltype(e);
    for (int64_t f = 0; f < frames; ++f) {
      const unsigned char* p = raw + uint64_t(f) * frameBytes;
      double* o = out + f * outStride;
      for (int j = 0; j < count; ++j) o[j] = decodeAt<E, double>(p + uint64_t(channels[j]) * E::bytes);
    }
  });
}

}  // namespace eeg
