// Sample decoding: the four sample encodings of a recording, in either byte order, converted exactly
// to double. One sample's decoding is defined in sample_format.h; these are its forms for code that
// runs on any processor (the filter kernels decode ranges of channels themselves, per instruction set).
#ifndef EEGFETCH_CORE_SAMPLE_DECODER_H
#define EEGFETCH_CORE_SAMPLE_DECODER_H

#include <cstdint>

namespace eeg {

// Encoding codes as the header gives them.
enum SampleEncoding : int { encodingInt16 = 1, encodingInt32 = 2, encodingFloat32 = 3, encodingInt24 = 4 };

// Bytes of one sample of an encoding (0 for an unknown code).
constexpr int sampleBytes(int binaryFormat) {
  return binaryFormat == encodingInt16            ? 2
         : binaryFormat == encodingInt24          ? 3
         : binaryFormat >= 2 && binaryFormat <= 3 ? 4
                                                  : 0;
}

struct SampleDecoder {
  int binaryFormat = encodingInt16;
  int bytesPerSample = 2;
  bool swapBytes = false;  // samples are stored most significant byte first
};

// Returns false for an unknown encoding code (the decoder is then left unchanged).
bool setupSampleDecoder(SampleDecoder& decoder, int binaryFormat, bool swapBytes) noexcept;

// The sample whose bytesPerSample bytes start at `bytes`. Every value has an exact double.
double decodeSample(const SampleDecoder& decoder, const unsigned char* bytes) noexcept;

// Decodes the listed channels of `frames` consecutive frames: channel channels[j] of frame f goes to
// out[f * outStride + j] for j < count.
void decodeChannels(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes,
                    int64_t frames, const int32_t* channels, int count, double* out,
                    int64_t outStride) noexcept;

// Decodes `frames` frames of the record layout, from frame `first` of the records at `raw` (records of
// recordBytes bytes, framesPerRecord frames each): the sample of frame first + f of the channel whose
// samples start channelBytes[j] bytes into a record goes to out[f * outStride + j] for j < count.
void decodeRecords(const SampleDecoder& decoder, const unsigned char* raw, int64_t recordBytes,
                   int64_t framesPerRecord, int64_t first, int64_t frames, const int64_t* channelBytes,
                   int count, double* out, int64_t outStride) noexcept;

}  // namespace eeg

#endif
