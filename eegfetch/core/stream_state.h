// What a read of a growing recording leaves behind, so that the next read of the same file with the
// same settings goes on from the last whole block instead of from byte 0, and gives the same bits.
//
// A stream is one file (by identity, not by name) read with one set of settings that the filter
// state depends on. Its state is taken at a block boundary, where every accumulator is zero: the
// frames read so far (`frames`, a multiple of the factor), the filter state there, a hash of the
// bytes at the start of the file and of those just before `frames`, and the unscaled block sums of
// the most recent output samples, for windows that reach back. Nothing here raises or throws; a
// state that cannot be allocated is simply not kept.
#ifndef EEGFETCH_CORE_STREAM_STATE_H
#define EEGFETCH_CORE_STREAM_STATE_H

#include <cstdint>
#include <cstdio>

#include "reader.h"

namespace eeg {

// The file behind an open stream: device and inode on POSIX, volume serial number and file index
// on Windows. `known` is false when the system cannot tell (a pipe, say): such a file never resumes.
struct FileIdentity {
  uint64_t volume = 0, index = 0;
  bool known = false;
};
FileIdentity identifyFile(std::FILE* file) noexcept;

constexpr int kStreamSlots = 8;                           // streams kept at once, least recently used dropped
constexpr int64_t kHashBytes = 4096;                      // bytes hashed at the start and before `frames`
constexpr uint64_t kKeptBytesLimit = uint64_t(64) << 20;  // kept block sums, a stream
constexpr uint64_t kStateBytesLimit = uint64_t(1) << 20;  // filter state, a stream

struct StreamState {
  bool used = false;
  FileIdentity identity;
  uint64_t settings = 0;  // settingsFingerprint of the reads it came from
  uint64_t lastUse = 0;
  int64_t frames = 0;  // frames consumed, a multiple of the factor; output frames / factor is next
  uint64_t headHash = 0, tailHash = 0;
  double* filterState = nullptr;  // filterStateSize(plan) doubles at `frames`
  int64_t filterStateSize = 0;
  // The unscaled block sums of outputs keptFirst .. frames / factor - 1: output i, column k (nSel
  // columns) at kept[(i % keptRows) + k * keptRows].
  double* kept = nullptr;
  int64_t keptRows = 0;
  int keptColumns = 0;
  int64_t keptFirst = 0;
};

struct StreamCache {
  StreamState slots[kStreamSlots];
  uint64_t clock = 0;
};

// A fingerprint of every setting that the filter state and the block sums depend on: channel count,
// encoding, byte order, coefficients and weights (bit for bit), factor and channel selection. Scale and
// the window are left out: they only shape what is placed.
uint64_t settingsFingerprint(const ReadPlan& plan) noexcept;

// The stream of this file and settings, or null.
StreamState* findStream(StreamCache& cache, const FileIdentity& identity, uint64_t settings) noexcept;
// A slot for a new stream: a free one, or the least recently used one, emptied.
StreamState* claimStream(StreamCache& cache) noexcept;
void dropStream(StreamState& stream) noexcept;
void dropAllStreams(StreamCache& cache) noexcept;

// The output samples a plan's window places into its target, as [first, last] (first > last: none),
// for a read whose output samples run from 0 to nOut - 1.
struct OutputRange {
  int64_t first = 0, last = -1;
};
OutputRange placedOutputs(const ReadPlan& plan, int64_t nOut) noexcept;

// Hashes of the bytes [0, min(kHashBytes, bytes)) and [bytes - kHashBytes, bytes) of the file; false
// when they cannot be read. Moves the file position.
bool hashFileEnds(std::FILE* file, int64_t bytes, uint64_t& head, uint64_t& tail) noexcept;

// The length of the file in bytes, with 64-bit offsets, leaving the position at byte 0; -1 when it
// cannot be found.
int64_t fileLength(std::FILE* file) noexcept;

// Moves the position of `file` to `offset`; false on failure.
bool seekFile(std::FILE* file, int64_t offset) noexcept;

}  // namespace eeg

#endif
