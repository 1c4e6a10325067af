#include "reader.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "block_decimator.h"
#include "channel_filter.h"
#include "sample_decoder.h"

namespace eeg {

namespace {

constexpr uint64_t defaultChunkBytes = uint64_t(1) << 20;

// Where output sample `outputIndex` goes, or -1 when the window or the matrix does not admit it.
int64_t placedRow(const ReadPlan& plan, int64_t outputIndex) noexcept {
  if (outputIndex < plan.srcStart || outputIndex > plan.srcEnd) return -1;
  const int64_t r = plan.destStart + (outputIndex - plan.srcStart);
  if (r > plan.destEnd || r < 0 || r >= plan.stride) return -1;
  return r;
}

bool planIsUsable(const ReadPlan& plan) noexcept {
  if (plan.nChans < 1 || plan.nPoints < 0 || plan.filterLength < 1 || plan.decimationFactor < 1) return false;
  if ((plan.a == nullptr) != (plan.b == nullptr)) return false;
  if (!plan.a && plan.filterLength != 1) return false;
  if (plan.nSel < 0 || (plan.nSel > 0 && (!plan.channels || !plan.scale))) return false;
  for (int k = 0; k < plan.nSel; ++k)
    if (plan.channels[k] < 0 || plan.channels[k] >= plan.nChans) return false;
  return true;
}

// Frames per read: the plan's choice, or about a mebibyte of samples.
int64_t framesPerChunk(const ReadPlan& plan, uint64_t frameBytes) noexcept {
  int64_t frames = plan.chunkFrames;
  if (frames <= 0) frames = static_cast<int64_t>(defaultChunkBytes / frameBytes);
  if (frames < 1) frames = 1;
  if (frames > plan.nPoints && plan.nPoints > 0) frames = plan.nPoints;
  const uint64_t limit = (SIZE_MAX / 2) / frameBytes;  // keep the byte count of a chunk in size_t
  if (uint64_t(frames) > limit) frames = static_cast<int64_t>(limit);
  return frames;
}

}  // namespace

ReadOutcome readRecording(std::FILE* file, const ReadPlan& plan) noexcept {
  ReadOutcome outcome;
  SampleDecoder decoder;
  if (!file || !planIsUsable(plan) || !setupSampleDecoder(decoder, plan.binaryFormat, plan.swapBytes)) {
    outcome.status = ReadStatus::readError;
    return outcome;
  }
  const uint64_t frameBytes = uint64_t(plan.nChans) * uint64_t(decoder.bytesPerSample);
  if (plan.nPoints == 0) return outcome;
  if (frameBytes > SIZE_MAX / 4 || uint64_t(plan.nChans) > SIZE_MAX / 4 / sizeof(double)) {
    outcome.status = ReadStatus::outOfMemory;
    return outcome;
  }
  const int64_t chunkFrames = framesPerChunk(plan, frameBytes);

  ChannelFilter filter;
  BlockDecimator decimator;
  unsigned char* raw = nullptr;
  double* frame = nullptr;
  double* row = nullptr;
  bool ready = setupChannelFilter(filter, plan.filterLength, plan.a, plan.b, plan.nChans);
  ready = setupBlockDecimator(decimator, plan.decimationFactor, plan.nChans, plan.weights) && ready;
  if (ready) {
    raw = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(chunkFrames * frameBytes)));
    frame = static_cast<double*>(std::malloc(sizeof(double) * std::size_t(plan.nChans)));
    row = static_cast<double*>(std::malloc(sizeof(double) * (std::size_t(plan.nSel) + 1)));
    ready = raw && frame && row;
  }
  if (ready) {
    int64_t outputIndex = 0;
    int64_t remaining = plan.nPoints;
    while (remaining > 0) {
      const int64_t want = remaining < chunkFrames ? remaining : chunkFrames;
      const std::size_t wantBytes = static_cast<std::size_t>(uint64_t(want) * frameBytes);
      const std::size_t got = std::fread(raw, 1, wantBytes, file);
      const int64_t frames = static_cast<int64_t>(got / frameBytes);  // a partial frame is ignored
      for (int64_t f = 0; f < frames; ++f) {
        decodeSamples(decoder, raw + uint64_t(f) * frameBytes, std::size_t(plan.nChans), frame);
        if (pushFrame(decimator, filter, frame, plan.channels, plan.nSel, plan.scale, row, 1)) {
          const int64_t r = placedRow(plan, outputIndex);
          if (r >= 0)
            for (int k = 0; k < plan.nSel; ++k) plan.target[r + k * plan.stride] = row[k];
          ++outputIndex;
        }
      }
      outcome.framesRead += frames;
      remaining -= frames;
      if (got < wantBytes) {  // end of file (or a read error): frames past it are not invented
        if (std::ferror(file)) outcome.status = ReadStatus::readError;
        break;
      }
    }
    outcome.blocks = outputIndex;
  } else {
    outcome.status = ReadStatus::outOfMemory;
  }
  std::free(row);
  std::free(frame);
  std::free(raw);
  releaseBlockDecimator(decimator);
  releaseChannelFilter(filter);
  return outcome;
}

}  // namespace eeg
