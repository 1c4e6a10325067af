// The read of one eegfetch call, free of any host type: frames are decoded, filtered, decimated,
// scaled and placed into a column-major double matrix that the caller owns.
#ifndef EEGFETCH_CORE_READER_H
#define EEGFETCH_CORE_READER_H

#include <cstdint>
#include <cstdio>

#include "decimator.h"
#include "filter_kernel.h"
#include "sample_decoder.h"

namespace eeg {

// Frames that do not lie one after the other in the file (the samples of one stream among others'):
// read(context, file, first, out, bytes) writes the multiplexed frames first, first + 1, ... (nChans
// samples each, the plan's encoding) to `out`, whole frames up to `bytes`, and returns the bytes
// written: fewer where the frames end, -1 when a read fails. Called by one thread at a time, frame
// numbers rising from call to call except where a read starts.
struct FrameGather {
  void* context = nullptr;
  int64_t (*read)(void* context, std::FILE* file, int64_t first, unsigned char* out,
                  int64_t bytes) noexcept = nullptr;
};

// Everything the read needs, checked by the caller beforehand. Pointers are borrowed for the call.
struct ReadPlan {
  int nChans = 0;          // channels, >= 1
  int binaryFormat = 1;    // 1 int16, 2 int32, 3 float32, 4 int24
  bool swapBytes = false;  // samples are big-endian
  int64_t dataOffset = 0;  // bytes before the first frame (a header), >= 0
  // Null: multiplexed frames, one sample of every channel each. Otherwise the record layout: nChans
  // counts, each record holding recordSamples[0] samples of channel 0, then recordSamples[1] of
  // channel 1, and so on; every selected channel has the same count, the frames per record, and
  // channels of other counts are never decoded.
  const int32_t* recordSamples = nullptr;
  // Null: frames from dataOffset on. Otherwise multiplexed frames come from `gather` (no recordSamples),
  // and dataOffset, never read from, is where the frames' own bytes start at the earliest.
  const FrameGather* gather = nullptr;
  int64_t nPoints = 0;        // frames to read from the first, >= 0
  int filterLength = 1;       // L >= 1
  const double* b = nullptr;  // L numerator coefficients, or null (with a) for the identity filter
  const double* a = nullptr;  // L denominator coefficients; a[0] is never read
  // Or, with b and a null and filterLength 1, second-order sections: `sections` rows of
  // [b0 b1 b2 a0 a1 a2], row by row (a0 never read); 0 sections: no filter.
  const double* sos = nullptr;
  int sections = 0;
  int decimationFactor = 1;           // frames per output sample, >= 1
  const double* weights = nullptr;    // decimationFactor weights; null: the last frame of a block alone
  const int32_t* channels = nullptr;  // nSel 0-based channel numbers, each in [0, nChans)
  int nSel = 0;
  const double* scale = nullptr;  // nChans factors, applied after the weighted sum ...
  // ... or, with offsets (nChans), the filter takes x * scale + offset and nothing is scaled after it.
  const double* offset = nullptr;
  double* target = nullptr;  // stride x nSel doubles; untouched outside placed rows
  int64_t stride = 0;        // rows of target
  // Elements between consecutive rows and between consecutive columns of target: element (i, k) at
  // target[i * rowStep + k * columnStep]. Column-major, the layout of every host's own matrices, is
  // 1 and stride. Either may be negative; no two elements may share storage (targetStepsAreSound),
  // or the plan is refused.
  int64_t rowStep = 1, columnStep = 0;
  // Placement window, resolved (no -1 left), all inclusive: output samples srcStart..srcEnd go to
  // rows destStart + (i - srcStart); rows after destEnd, below 0 or at/past stride are skipped.
  int64_t destStart = 0, destEnd = 0, srcStart = 0, srcEnd = 0;
  // Tuning only; the result is the same bits for every value.
  int64_t chunkFrames = 0;  // frames per read; 0: chosen by the reader
  int threads = 0;          // 0: chosen by the reader
  // The most threads the reader chooses when `threads` is 0 (small reads keep to one); 0: the
  // processors the process may use, at most 2.
  int threadLimit = 0;
  InstructionSet instructionSet = InstructionSet::widest;  // of the filter loop
  // Asked by the reading thread between chunks, when given: nonzero stops the read there
  // (ReadStatus::interrupted). The chunks already read are finished first.
  int (*interruptPending)() = nullptr;
};

// Whether a rows x columns target with these steps gives every element storage of its own: no step
// of 0 along a dimension of more than one element, and the steps of the two dimensions not
// interleaving (the smaller step's whole run fits between two neighbours along the larger).
bool targetStepsAreSound(int64_t rows, int64_t columns, int64_t rowStep, int64_t columnStep) noexcept;

// Where a plan's frames lie in the file: in units of one frame (multiplexed) or one record.
struct FrameGeometry {
  int bytesPerSample = 0;
  int64_t unitBytes = 0;   // bytes of one unit
  int64_t unitFrames = 1;  // frames a unit holds
  bool records = false;
  // Bytes after dataOffset up to the end of the unit that holds frame `frames` - 1.
  int64_t bytesFor(int64_t frames) const noexcept {
    return (frames + unitFrames - 1) / unitFrames * unitBytes;
  }
  // Frames in `dataBytes` bytes after dataOffset: those of whole units only.
  int64_t framesIn(int64_t dataBytes) const noexcept {
    return dataBytes > 0 ? dataBytes / unitBytes * unitFrames : 0;
  }
};
// False when the plan's layout is unusable (an unknown encoding, counts that do not fit).
bool frameGeometry(const ReadPlan& plan, FrameGeometry& geometry) noexcept;

enum class ReadStatus { ok, outOfMemory, readError, interrupted };

struct ReadOutcome {
  ReadStatus status = ReadStatus::ok;
  int64_t framesRead = 0;  // whole frames found and processed (< nPoints when the file ends early)
  int64_t blocks = 0;      // output samples completed: framesRead / factor
};

// A ring of the unscaled block sums of the newest output samples, kept for windows that reach back:
// output i, column k at sums[i % rows + k * rows].
struct SumHistory {
  double* sums = nullptr;
  int64_t rows = 0;
};

// What a decimator for this plan's reads is set up with.
DecimatorSetup decimatorSetup(const ReadPlan& plan) noexcept;

// What a read derives from its plan, derived once by prepareRead: where the frames lie, how their
// samples decode, what the decimator is set up with and the filter loop that runs. It borrows the
// plan, which must outlive it and stay unchanged.
struct PreparedRead {
  const ReadPlan* plan = nullptr;  // null: not prepared (the plan is unusable)
  FrameGeometry geometry;
  SampleDecoder decoder;
  DecimatorSetup decimator;
  KernelSet kernel;
};

// Checks the plan (usable counts, pointers and steps, channels in range, a known encoding, a layout
// whose counts fit) and derives the read from it; not prepared (a null plan) when it is unusable.
PreparedRead prepareRead(const ReadPlan& plan) noexcept;

// Reads plan.nPoints frames from the first, at plan.dataOffset, with a decimator of its own. Without a
// dataOffset it reads from the file's position, which must be byte 0 (a pipe cannot seek there).
// Frames past the end of the file are not invented: reading stops after the last whole frame,
// a partial trailing frame is ignored, and blocks that never complete emit nothing.
// Working storage follows the channels, the selection, the filter and one chunk of frames, never the
// decimation factor or the frames asked for. Never throws; on outOfMemory nothing has been written and
// nothing is left allocated.
ReadOutcome readRecording(std::FILE* file, const ReadPlan& plan) noexcept;

// Goes on with `decimator` (set up with read.decimator, standing at frame F = its frames()): reads
// frames F .. plan.nPoints - 1 of the prepared read's plan, pushes them into the decimator and places
// the outputs they complete. Each output's sums also go to `history`, when given. The outcome counts
// frames and outputs from frame 0. A read not prepared is a readError. On readError the decimator has
// taken the frames before the failing read; on outOfMemory it is untouched.
ReadOutcome readFrom(std::FILE* file, const PreparedRead& read, Decimator& decimator,
                     const SumHistory* history) noexcept;

// For storage of `count` doubles that nothing has touched yet and that a read is about to write whole
// (a result matrix the module made, never a caller's): asks the system to back it with large pages
// where it offers them, which saves most of its page faults. Reads and writes nothing.
void prepareFreshTarget(double* target, int64_t count) noexcept;

}  // namespace eeg

#endif
