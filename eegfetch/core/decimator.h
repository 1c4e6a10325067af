// The block decimator of one stream of frames: the channel filter of every channel it filters, the
// running weighted sum of the block in progress and the position within the recording. It is set up
// once for a set of settings and then carried along the recording: a read pushes the frames it finds
// and gets back the block sums of the blocks that end among them, and a later read of the same
// growing recording pushes the frames after them into the same decimator, with the same bits as one
// read of everything.
//
// Channels that no output column selects never show in a result and channels do not affect each other,
// so when the selection is clearly smaller than the frame only the selected channels are filtered
// ("filter channels"); otherwise filter channel i is file channel i. Filter channels are padded to a
// whole number of vectors; ranges of them may be pushed on different threads at once.
#ifndef EEGFETCH_CORE_DECIMATOR_H
#define EEGFETCH_CORE_DECIMATOR_H

#include <cstdint>

#include "channel_filter.h"
#include "filter_kernel.h"

namespace eeg {

// What a decimator depends on. Pointers are read during setup() only: the decimator keeps copies.
struct DecimatorSetup {
  int nChans = 0;             // samples per frame, >= 1
  int filterLength = 1;       // L >= 1
  const double* b = nullptr;  // L numerator coefficients, or null (with a): no filter
  const double* a = nullptr;  // L denominator coefficients; a[0] is never read
  // Or second-order sections (with b and a null, filterLength 1): `sections` rows of 6 doubles, row by
  // row [b0 b1 b2 a0 a1 a2] as scipy.signal.sosfilt takes them; a0 is never read (taken as 1).
  // 0 sections: no filter.
  const double* sos = nullptr;
  int sections = 0;
  int factor = 1;                     // frames per block, >= 1
  const double* weights = nullptr;    // factor weights; null: the last frame of a block alone
  const int32_t* channels = nullptr;  // nSel 0-based channel numbers of the output columns
  int nSel = 0;
  bool selectedOnly = false;  // filter the selected channels only, however many they are
};

// Where a range push takes its frames from.
struct FrameSource {
  // Decoded samples of the range: frames rows of (end - begin) doubles, row-major ...
  const double* decoded = nullptr;
  // ... or raw samples: the range's first channel in the first frame, frames frameBytes apart, in the
  // given encoding; only when every channel of the range is a file channel in order (no subset).
  const unsigned char* raw = nullptr;
  int64_t frameBytes = 0;
  int binaryFormat = 1;
  bool swapBytes = false;
};

class Decimator {
 public:
  Decimator() = default;
  ~Decimator() { release(); }
  Decimator(const Decimator&) = delete;
  Decimator& operator=(const Decimator&) = delete;

  // Copies the settings and starts at frame 0 with zero state. False, with nothing held, when the
  // settings are unusable or memory runs out.
  bool setup(const DecimatorSetup& setup) noexcept;
  void release() noexcept;
  bool ready() const noexcept { return storage_ != nullptr; }
  // Back to the start of a recording: zero filter state and sums, frame 0.
  void reset() noexcept;

  int64_t frames() const noexcept { return frames_; }  // pushed since setup() or reset()
  int factor() const noexcept { return factor_; }
  int phase() const noexcept { return static_cast<int>(frames_ % factor_); }  // of the next frame
  int filterLength() const noexcept { return filter_.L; }                     // with sections: 2 sections + 1
  int sections() const noexcept { return filter_.sections; }                  // 0: b/a
  // Whether the filter loop decodes raw samples itself (FrameSource::raw) for this filter.
  bool decodesInLoop() const noexcept {
    return filter_.sections > 0 ? filter_.sections <= kernelRawMaxSections : filter_.L <= kernelRawMaxLength;
  }
  int filtered() const noexcept { return nFiltered_; }                   // filter channels
  int64_t width() const noexcept { return filter_.stateStride; }         // with the padding
  const int32_t* fileChannels() const noexcept { return fileChannel_; }  // null: all, in order
  int32_t filterChannelOf(int column) const noexcept { return filterChannelOf_[column]; }
  int columns() const noexcept { return nSel_; }

  // Pushes `frames` frames of filter channels [begin, end) (end - begin a multiple of 8, within width()),
  // the first at block position `phase` (the decimator's own, plus the frames pushed since its last
  // advance()). The sum of channel begin + j of the e-th block that ends goes to
  // blockSums[j * sumStride + e]. Touches only the state of its range. Returns the blocks that ended.
  int64_t pushRange(const KernelSet& kernel, const FrameSource& source, int begin, int end, int phase,
                    int64_t frames, double* blockSums, int64_t sumStride) noexcept;
  // Moves the position on once every range has been pushed the same frames.
  void advance(int64_t frames) noexcept { frames_ += frames; }

  // The plain form, on one thread: `n` whole frames of nChans decoded samples each, row-major. The
  // unscaled sum of output column k of the e-th block that ends goes to out[e + k * outStride].
  // Returns the blocks that ended.
  int64_t push(const double* frames, int64_t n, double* out, int64_t outStride) noexcept;

  // Its state as plain doubles: the filter state, L - 1 rows of filtered() values (row i holds z[i] of
  // every filter channel; with sections, rows 2k and 2k + 1 hold z0 and z1 of section k), then the
  // sums of the block in progress. takeState writes stateSize() doubles; restoreState puts them back
  // at frame `frames`.
  int64_t stateSize() const noexcept { return int64_t(filter_.L) * nFiltered_; }
  void takeState(double* out) const noexcept;
  void restoreState(const double* state, int64_t frames) noexcept;

 private:
  ChannelFilter filter_;
  int factor_ = 1;
  int nSel_ = 0;
  int nChans_ = 0;
  int nFiltered_ = 0;
  int64_t frames_ = 0;
  double* weights_ = nullptr;           // factor copies, or null
  double* accumulators_ = nullptr;      // width() sums of the block in progress
  int32_t* fileChannel_ = nullptr;      // nFiltered file channels, rising; null when all are filtered
  int32_t* filterChannelOf_ = nullptr;  // of each output column
  double* scratch_ = nullptr;           // push(): one frame of filter channels, and one block's sums
  void* storage_ = nullptr;             // the one allocation behind all but the filter
};

// Whether only the selected channels are filtered: when the distinct ones are at most three quarters
// of the frame (otherwise the contiguous loop over every channel is faster).
bool filtersSubset(int distinct, int nChans) noexcept;

// The kernels for this processor (the widest it runs, or `isa` when it can run that).
KernelSet kernelsFor(InstructionSet isa) noexcept;

}  // namespace eeg

#endif
