// Sample decoding: the three sample encodings of a recording, in either byte order, converted exactly
// to double.
#ifndef EEGFETCH_CORE_SAMPLE_DECODER_H
#define EEGFETCH_CORE_SAMPLE_DECODER_H

#include <cstddef>
#include <cstdint>

namespace eeg {

// Encoding codes as the header gives them.
enum SampleEncoding : int { encodingInt16 = 1, encodingInt32 = 2, encodingFloat32 = 3 };

struct SampleDecoder {
  int binaryFormat = encodingInt16;
  int bytesPerSample = 2;
  bool swapBytes = false;  // samples are stored most significant byte first
};

// Returns false for an unknown encoding code (the decoder is then left unchanged).
bool setupSampleDecoder(SampleDecoder& decoder, int binaryFormat, bool swapBytes) noexcept;

// The sample whose bytesPerSample bytes start at `bytes`. Every value has an exact double.
double decodeSample(const SampleDecoder& decoder, const unsigned char* bytes) noexcept;

// Decodes `count` consecutive samples. `raw` is not modified.
void decodeSamples(const SampleDecoder& decoder, const unsigned char* raw, std::size_t count,
                   double* out) noexcept;

// Decodes channels [c0, c1) of `frames` consecutive frames of frameBytes bytes each: the samples of frame
// f go to out[f * outStride + (c - c0)].
void decodeFrames(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes, int64_t frames,
                  int c0, int c1, double* out, int64_t outStride) noexcept;

// Decodes the listed channels of `frames` consecutive frames: channel channels[j] of frame f goes to
// out[f * outStride + j] for j < count.
void decodeChannels(const SampleDecoder& decoder, const unsigned char* raw, uint64_t frameBytes,
                    int64_t frames, const int32_t* channels, int count, double* out,
                    int64_t outStride) noexcept;

}  // namespace eeg

#endif
