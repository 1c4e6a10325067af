#include "sample_decoder.h"

#include "sample_format.h"

namespace eeg {

bool setupSampleDecoder(SampleDecoder& decoder, int binaryFormat, bool swapBytes) noexcept {
  const int bytes = sampleBytes(binaryFormat);
  if (bytes == 0) return false;
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

void decodeRecords(const SampleDecoder& decoder, const unsigned char* raw, int64_t recordBytes,
                   int64_t framesPerRecord, int64_t first, int64_t frames, const int64_t* channelBytes,
                   int count, double* out, int64_t outStride) noexcept {
  withEncoding(decoder.binaryFormat, decoder.swapBytes, [&](auto e) {
    using E = decltype(e);
    int64_t record = first / framesPerRecord, i = first % framesPerRecord;
    for (int64_t f = 0; f < frames; ++f) {
      const unsigned char* p = raw + record * recordBytes + i * E::bytes;
      double* o = out + f * outStride;
      for (int j = 0; j < count; ++j) o[j] = decodeAt<E, double>(p + channelBytes[j]);
      if (++i == framesPerRecord) {
        i = 0;
        ++record;
      }
    }
  });
}

}  // namespace eeg
