// The decimator of chunks that arrive from a live source: any number of frames at a time, of double,
// single, int16 or int32 samples, in any memory order. It is the reader's decimator (decimator.h)
// with its filter kernels and its scaling, so the rows of all pushes together are, bit for bit, the
// rows one read of the same frames from a file gives, however the frames were cut into chunks.
//
// Its state goes out and comes back as plain doubles (packState / unpackState): the settings, the
// decimator's own state (Decimator::takeState), the position, the time of the last frame pushed and
// a check value over all of them, so that a state someone changed, or one cut short, is refused.
#ifndef EEGFETCH_CORE_CHUNK_DECIMATOR_H
#define EEGFETCH_CORE_CHUNK_DECIMATOR_H

#include <cstdint>

#include "decimator.h"
#include "filter_kernel.h"

namespace eeg {

// Sample types of a chunk.
enum class ChunkType : int { float64 = 0, float32 = 1, int16 = 2, int32 = 3 };

// A chunk: `frames` frames of nChans samples; sample c of frame f at element
// f * frameStep + c * channelStep of `data` (steps in elements, either order, any sign).
struct ChunkView {
  const void* data = nullptr;
  ChunkType type = ChunkType::float64;
  int64_t frames = 0;
  int64_t frameStep = 0;
  int64_t channelStep = 1;
};

// What a chunk decimator is set up with: the decimator's settings, the scale of every channel (after
// the weighted sum; with offsets the filter takes x * scale + offset and nothing is scaled after it),
// as the reader does.
struct ChunkSetup {
  DecimatorSetup decimator;
  const double* scale = nullptr;   // nChans factors
  const double* offset = nullptr;  // nChans offsets, or null
  InstructionSet instructionSet = InstructionSet::widest;
};

class ChunkDecimator {
 public:
  ChunkDecimator() = default;
  ~ChunkDecimator() { release(); }
  ChunkDecimator(const ChunkDecimator&) = delete;
  ChunkDecimator& operator=(const ChunkDecimator&) = delete;

  // False, with nothing held, when the settings are unusable or memory runs out.
  bool setup(const ChunkSetup& setup) noexcept;
  void release() noexcept;
  bool ready() const noexcept { return decimator_.ready(); }
  void reset() noexcept { decimator_.reset(); }

  int nChans() const noexcept { return nChans_; }
  int columns() const noexcept { return decimator_.columns(); }
  int64_t frames() const noexcept { return decimator_.frames(); }
  const Decimator& decimator() const noexcept { return decimator_; }
  Decimator& decimator() noexcept { return decimator_; }

  // Rows a push of `frames` frames gives from here: blocks that end among them.
  int64_t rowsFor(int64_t frames) const noexcept {
    return (decimator_.frames() % decimator_.factor() + frames) / decimator_.factor();
  }
  // Index within a chunk pushed from here of the last frame of its row e's block.
  int64_t lastFrameOfRow(int64_t e) const noexcept {
    return int64_t(decimator_.factor()) * (e + 1) - decimator_.frames() % decimator_.factor() - 1;
  }

  // Pushes a chunk of nChans columns. Row e's column k goes to y[e * rowStep + k * columnStep],
  // for the rowsFor(chunk.frames) rows. Never fails on a usable chunk.
  int64_t push(const ChunkView& chunk, double* y, int64_t rowStep, int64_t columnStep) noexcept;

 private:
  void gather(const ChunkView& chunk, int64_t first, int64_t n, int begin, int end,
              double* rows) const noexcept;

  Decimator decimator_;
  KernelSet kernel_;
  int nChans_ = 0;
  int64_t passFrames_ = 0;
  int64_t sumRows_ = 0;
  double* decoded_ = nullptr;   // passFrames_ x width() doubles
  double* sums_ = nullptr;      // width() x sumRows_ block sums
  double* outScale_ = nullptr;  // of each output column
  double* inScale_ = nullptr;   // with offsets: of each filter channel, with ...
  double* inOffset_ = nullptr;  // ... its offset; null without
  void* storage_ = nullptr;
};

// ---- Times of frames, one per frame as a source gives them (seconds).
enum class TimesCheck { ok, notFinite, backwards };
// Checks n times t[i * step] that follow `last` (NaN: none before). On ok, `gaps` is the number of
// jumps of more than maxGap; otherwise `at` is the index of the first bad time.
TimesCheck checkTimes(const double* t, int64_t n, int64_t step, double last, double maxGap, int64_t& gaps,
                      int64_t& at) noexcept;
// Lists those jumps: the stream's frame number (from 1, the first frame of the stream being
// firstFrame + 1) of the time after each jump, and the jump, in frame[g] and jump[g].
void listGaps(const double* t, int64_t n, int64_t step, double last, double maxGap, int64_t firstFrame,
              double* frame, double* jump) noexcept;

// ---- The state as plain doubles.
//
// The settings vector ("setup"): version, nChans, factor, nSel, filterLength, hasFilter, hasWeights,
// hasOffset, fs, maxGap, sections, then nSel channel numbers (from 0), nChans scales, nChans offsets
// (when hasOffset), filterLength b, filterLength a (when hasFilter), 6 x sections doubles of the
// sections row by row (when sections > 0; then filterLength is 1 and hasFilter 0), factor weights
// (when hasWeights).
// The state vector ("state"): frames pushed, time of the last frame pushed (NaN: none yet), gaps
// seen, then the decimator's stateSize() doubles.
// Version 2 added the sections; a version 1 vector is refused, as any other version.
constexpr double kStateVersion = 2;
constexpr int kSetupHead = 11;
constexpr int kStateHead = 3;

struct ChunkSettings {
  ChunkSetup setup;
  double fs = 0;      // frames per second
  double maxGap = 0;  // seconds
};

// Doubles of the settings vector.
int64_t settingsSize(const ChunkSettings& s) noexcept;
// Writes the settings vector (settingsSize doubles).
void packSettings(const ChunkSettings& s, double* out) noexcept;
// Reads a settings vector into `s`, whose pointers then point into `in` (channels: into `channels`,
// nSel int32 entries the caller provides: at least in[3] of them). False when it is not one.
bool unpackSettings(const double* in, int64_t n, ChunkSettings& s, int32_t* channels,
                    int64_t channelRoom) noexcept;

// The check value over a settings vector and a state vector: two doubles, each a whole number below 2^32.
void stateCheck(const double* setup, int64_t setupSize, const double* state, int64_t stateSize,
                double out[2]) noexcept;

}  // namespace eeg

#endif
