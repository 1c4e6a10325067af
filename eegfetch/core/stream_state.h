// What reads of a growing recording leave behind, so that the next read of the same file with the
// same settings goes on from the frame the last one reached instead of from byte 0, with the same bits.
//
// A stream is one file (by identity, not by name) read with one set of settings that the filter state
// depends on. It carries the decimator of its reads (filter state, the sums of the block in progress and
// the frame reached), 128-bit hashes of the bytes at the start of the file and of those just before the
// frame reached, and the unscaled block sums of the most recent output samples, for windows that reach
// back. Nothing here raises or throws; a stream that cannot be allocated is simply not kept.
#ifndef EEGFETCH_CORE_STREAM_STATE_H
#define EEGFETCH_CORE_STREAM_STATE_H

#include <cstdint>
#include <cstdio>

#include "decimator.h"
#include "platform/sync.h"
#include "reader.h"

namespace eeg {

// The file behind an open stream: device and inode on POSIX, volume serial number and file index
// on Windows. `known` is false when the system cannot tell (a pipe, say): such a file never resumes.
struct FileIdentity {
  uint64_t volume = 0, index = 0;
  bool known = false;
};
FileIdentity identifyFile(std::FILE* file) noexcept;

// A 128-bit hash.
struct Digest {
  uint64_t a = 0, b = 0;
  bool operator==(const Digest& o) const noexcept { return a == o.a && b == o.b; }
  bool operator!=(const Digest& o) const noexcept { return !(*this == o); }
};

// A hash of a file name, to tell "another file under the same name" from "a file never read".
Digest nameDigest(const char* name) noexcept;

// A fingerprint of every setting that the decimator and the block sums depend on: channel count,
// encoding, byte order, coefficients (b/a or sections) and weights (bit for bit), factor, channel selection
// and layout, and with offsets the scale and offsets. Otherwise scale and the window are left out: they only
// shape what is placed.
Digest settingsFingerprint(const ReadPlan& plan) noexcept;

constexpr int kStreamSlots = 8;                        // streams kept at once, least recently used dropped
constexpr int64_t kHeadBytes = 4096;                   // bytes hashed at the start of the file
constexpr int64_t kTailBytes = 4096;                   // bytes hashed before the frame reached, at least ...
constexpr int64_t kTailBytesLimit = int64_t(1) << 20;  // ... and the last whole block, up to this
constexpr uint64_t kKeptBytesLimit = uint64_t(64) << 20;  // kept block sums, a stream
constexpr uint64_t kStateBytesLimit = uint64_t(1) << 20;  // decimator state, a stream

// Why a read asked to go on from an earlier one read from byte 0 instead.
enum class FullReadReason {
  none,                 // it went on
  notAsked,             // OPT.resume was not set
  noData,               // no OPT.data: every output sample is returned
  noColumns,            // no channel selected: nothing to place
  notAFile,             // the system cannot identify the file (not a regular file)
  stateTooLarge,        // the decimator's state is too large to keep
  noStream,             // no stream yet for this file and these settings
  anotherFile,          // another file is behind the name
  otherSettings,        // this file was read with other settings
  shorter,              // the file is shorter than the frame reached
  changedBytes,         // bytes at the start or before the frame reached changed
  nPointsBeforePoint,   // HDR.nPoints ends before the frame reached
  windowOlderThanKept,  // the window asks for outputs older than those kept
  noMemory,             // the stream could not be kept
};
// The reason as the `info` output gives it: "" for none and notAsked.
const char* fullReadReasonText(FullReadReason reason) noexcept;

// The output samples a plan's window places into its target, as [first, last] (first > last: none),
// for a read whose output samples run from 0 to nOut - 1.
struct OutputRange {
  int64_t first = 0, last = -1;
};
OutputRange placedOutputs(const ReadPlan& plan, int64_t nOut) noexcept;

struct Stream {
  bool used = false;
  FileIdentity identity;
  Digest name;      // nameDigest of the name it was opened by
  Digest settings;  // settingsFingerprint of its reads
  uint64_t lastUse = 0;
  Decimator decimator;  // its frames() is the frame reached
  Digest head, tail;    // of the first kHeadBytes bytes and of the tailBytes before the frame reached
  int64_t tailBytes = 0;
  // The unscaled block sums of outputs keptFirst .. frames / factor - 1: output i, column k (keptColumns
  // columns) at kept[(i % keptRows) + k * keptRows].
  double* kept = nullptr;
  int64_t keptRows = 0;
  int keptColumns = 0;
  int64_t keptFirst = 0;
  // Outputs 0 .. returned - 1 are those reads of new rows only have returned; newestEnd is one past
  // the newest output a newest-rows window placed (-1: none yet).
  int64_t returned = 0;
  int64_t newestEnd = -1;
};

// The streams of one module, at most kStreamSlots, the least recently used dropped first.
//
// A cache carries its own lock: readOnline holds it for a whole read, dropAll and held take it
// themselves, and find, claim, check, takeHashes and drop are called only with it held (by
// readOnline). Reads through one cache therefore take turns while reads through different caches
// run at once, and a cache is never dropped under a read that uses it.
class StreamCache {
 public:
  StreamCache() = default;
  ~StreamCache() { dropAll(); }
  StreamCache(const StreamCache&) = delete;
  StreamCache& operator=(const StreamCache&) = delete;

  // The stream of this file and settings, now the most recently used; or null, with the reason in `why`
  // (notAFile, noStream, anotherFile or otherSettings).
  Stream* find(const FileIdentity& identity, const Digest& name, const Digest& settings,
               FullReadReason& why) noexcept;
  // A slot for a new stream of this file and settings: a free one, or the least recently used one,
  // emptied. It is the most recently used from then on; its decimator is not set up.
  Stream& claim(const FileIdentity& identity, const Digest& name, const Digest& settings) noexcept;
  // Whether `s` may serve the prepared read of `file` (open, position anywhere) that places `placed`:
  // none, or the reason it may not (shorter, nPointsBeforePoint, windowOlderThanKept, changedBytes).
  FullReadReason check(const Stream& s, std::FILE* file, const PreparedRead& read,
                       const OutputRange& placed) const noexcept;
  // Takes the hashes of the bytes a later check() compares; false when they cannot be read.
  static bool takeHashes(Stream& s, std::FILE* file, const PreparedRead& read) noexcept;

  void drop(Stream& s) noexcept;
  // Drops every stream, under the lock.
  void dropAll() noexcept;
  // The streams held, the most recently used first, for reports and tests; under the lock. The
  // pointers stay valid until the next read or drop.
  int held(const Stream* (&out)[kStreamSlots]) const noexcept;

  platform::Lock& lock() const noexcept { return lock_; }
  // In a child process after fork(), before anything else uses the cache: a fresh lock. When a
  // thread of the parent held the lock (a read was changing the streams), every stream is
  // forgotten without being freed, since its state may be half-written; otherwise they are kept.
  void resetInChild() noexcept;

 private:
  void dropAllLocked() noexcept;
  mutable platform::Lock lock_;
  Stream slots_[kStreamSlots];
  uint64_t clock_ = 0;
};

// The length of the file in bytes, with 64-bit offsets, leaving the position at byte 0; -1 when it
// cannot be found.
int64_t fileLength(std::FILE* file) noexcept;

// Moves the position of `file` to `offset`; false on failure.
bool seekFile(std::FILE* file, int64_t offset) noexcept;

}  // namespace eeg

#endif
