#include "stream_state.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace eeg {

namespace {

// Two 64-bit lanes with their own multipliers, mixed word by word, both kept: a 128-bit digest, so that
// two different settings or byte runs agree by chance with a probability too small to matter.
struct Hasher {
  uint64_t a = 0x9E3779B97F4A7C15ull, b = 0xC2B2AE3D27D4EB4Full;
  static uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  void word(uint64_t w) {
    a = mix(a ^ w) * 0xFF51AFD7ED558CCDull;
    b = mix(b + w) * 0xC4CEB9FE1A85EC53ull;
  }
  void bytes(const void* p, std::size_t n) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    for (; n >= 8; n -= 8, c += 8) {
      uint64_t w;
      std::memcpy(&w, c, 8);
      word(w);
    }
    uint64_t last = n;  // the tail's length is part of the hash
    for (std::size_t i = 0; i < n; ++i) last |= uint64_t(c[i]) << (8 * (i + 1));
    word(last);
  }
  void doubles(const double* p, int64_t n) {
    if (p) bytes(p, static_cast<std::size_t>(n) * sizeof(double));
  }
  Digest value() const {
    Digest d;
    d.a = mix(a ^ 0x2545F4914F6CDD1Dull);
    d.b = mix(b + 0x9E3779B97F4A7C15ull);
    return d;
  }
};

// The hash of bytes [from, from + n) of the file; false when they cannot be read. Moves the position.
bool hashFileBytes(std::FILE* file, int64_t from, int64_t n, Digest& out) noexcept {
  unsigned char buffer[4096];  // a multiple of 8: whole words until the last piece
  Hasher h;
  if (n > 0 && !seekFile(file, from)) return false;
  while (n > int64_t(sizeof buffer)) {
    if (std::fread(buffer, 1, sizeof buffer, file) != sizeof buffer) return false;
    for (std::size_t i = 0; i < sizeof buffer; i += 8) {
      uint64_t w;
      std::memcpy(&w, buffer + i, 8);
      h.word(w);
    }
    n -= int64_t(sizeof buffer);
  }
  if (n > 0 && std::fread(buffer, 1, std::size_t(n), file) != std::size_t(n)) return false;
  h.bytes(buffer, std::size_t(n));
  out = h.value();
  return true;
}

// Bytes hashed before the frame reached: kTailBytes at least, and the block in progress with the last
// whole block before it, up to kTailBytesLimit; never more than the file holds before it.
int64_t tailBytesFor(const Decimator& d, const FrameGeometry& g) noexcept {
  const int64_t point = g.bytesFor(d.frames());
  int64_t n = kTailBytes;
  // The units that hold the frames of the block in progress and of the last whole block before it.
  const int64_t first = d.frames() - d.phase() - d.factor() > 0 ? d.frames() - d.phase() - d.factor() : 0;
  const int64_t blocks = point - first / g.unitFrames * g.unitBytes;
  if (blocks > n) n = blocks < kTailBytesLimit ? blocks : kTailBytesLimit;
  return n < point ? n : point;
}

}  // namespace

FileIdentity identifyFile(std::FILE* file) noexcept {
  FileIdentity id;
#if defined(_WIN32)
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  BY_HANDLE_FILE_INFORMATION info;
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info) && GetFileType(h) == FILE_TYPE_DISK) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.known = true;
  }
#else
  struct stat st;
  if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
    id.volume = static_cast<uint64_t>(st.st_dev);
    id.index = static_cast<uint64_t>(st.st_ino);
    id.known = true;
  }
#endif
  return id;
}

Digest settingsFingerprint(const ReadPlan& plan) noexcept {
  Hasher h;
  h.word(uint64_t(plan.nChans));
  h.word(uint64_t(plan.binaryFormat) << 1 | (plan.swapBytes ? 1 : 0));
  h.word(uint64_t(plan.filterLength));
  h.word(plan.b ? 1 : 0);
  h.doubles(plan.b, plan.filterLength);
  h.doubles(plan.a, plan.filterLength);
  h.word(uint64_t(plan.sections));
  h.doubles(plan.sos, int64_t(plan.sections) * 6);
  h.word(uint64_t(plan.decimationFactor));
  h.word(plan.weights ? 1 : 0);
  h.doubles(plan.weights, plan.decimationFactor);
  h.word(uint64_t(plan.nSel));
  if (plan.channels) h.bytes(plan.channels, static_cast<std::size_t>(plan.nSel) * sizeof(int32_t));
  // The layout (an earlier read's frames must lie where this one finds them) and, with offsets, the
  // scale and offset the filter takes.
  h.word(uint64_t(plan.dataOffset));
  h.word(plan.recordSamples ? 1 : 0);
  if (plan.recordSamples)
    h.bytes(plan.recordSamples, static_cast<std::size_t>(plan.nChans) * sizeof(int32_t));
  h.word(plan.offset ? 1 : 0);
  if (plan.offset) {
    h.doubles(plan.scale, plan.nChans);
    h.doubles(plan.offset, plan.nChans);
  }
  return h.value();
}

Digest nameDigest(const char* name) noexcept {
  Hasher h;
  if (name) h.bytes(name, std::strlen(name));
  return h.value();
}

const char* fullReadReasonText(FullReadReason reason) noexcept {
  switch (reason) {
    case FullReadReason::none:
    case FullReadReason::notAsked: return "";
    case FullReadReason::noData: return "no OPT.data";
    case FullReadReason::noColumns: return "no channels selected";
    case FullReadReason::notAFile: return "not a regular file";
    case FullReadReason::stateTooLarge: return "filter state too large to keep";
    case FullReadReason::noStream: return "no stream yet";
    case FullReadReason::anotherFile: return "another file";
    case FullReadReason::otherSettings: return "other settings";
    case FullReadReason::shorter: return "shorter";
    case FullReadReason::changedBytes: return "changed bytes";
    case FullReadReason::nPointsBeforePoint: return "nPoints before the point";
    case FullReadReason::windowOlderThanKept: return "window older than kept";
    case FullReadReason::noMemory: return "no memory";
  }
  return "";
}

Stream* StreamCache::find(const FileIdentity& identity, const Digest& name, const Digest& settings,
                          FullReadReason& why) noexcept {
  if (!identity.known) {
    why = FullReadReason::notAFile;
    return nullptr;
  }
  why = FullReadReason::noStream;
  for (Stream& s : slots_) {
    if (!s.used) continue;
    const bool sameFile = s.identity.volume == identity.volume && s.identity.index == identity.index;
    if (sameFile && s.settings == settings) {
      s.lastUse = ++clock_;
      why = FullReadReason::none;
      return &s;
    }
    // A file under another name with this identity is most likely a new file on a reused inode.
    if (sameFile && s.name == name)
      why = FullReadReason::otherSettings;
    else if (!sameFile && s.name == name && why == FullReadReason::noStream)
      why = FullReadReason::anotherFile;
  }
  return nullptr;
}

Stream& StreamCache::claim(const FileIdentity& identity, const Digest& name,
                           const Digest& settings) noexcept {
  Stream* pick = &slots_[0];
  for (Stream& s : slots_) {
    if (!s.used) {
      pick = &s;
      break;
    }
    if (s.lastUse < pick->lastUse) pick = &s;
  }
  drop(*pick);
  pick->used = true;
  pick->identity = identity;
  pick->name = name;
  pick->settings = settings;
  pick->lastUse = ++clock_;
  return *pick;
}

FullReadReason StreamCache::check(const Stream& s, std::FILE* file, const PreparedRead& read,
                                  const OutputRange& placed) const noexcept {
  const ReadPlan& plan = *read.plan;
  const FrameGeometry& g = read.geometry;
  const int64_t frames = s.decimator.frames();
  const int64_t point = g.bytesFor(frames);  // bytes of data (after the header) the stream has taken
  if (fileLength(file) - plan.dataOffset < point) return FullReadReason::shorter;
  if (frames > plan.nPoints) return FullReadReason::nPointsBeforePoint;
  const int64_t next = frames / plan.decimationFactor;  // the first output not held
  if (placed.first <= placed.last && placed.first < next && placed.first < s.keptFirst)
    return FullReadReason::windowOlderThanKept;
  Digest head, tail;
  const int64_t headBytes = point < kHeadBytes ? point : kHeadBytes;
  const int64_t at = plan.dataOffset;  // the data, not the header: a writer may update a header's counts
  if (!hashFileBytes(file, at, headBytes, head) ||
      !hashFileBytes(file, at + point - s.tailBytes, s.tailBytes, tail) || head != s.head || tail != s.tail)
    return FullReadReason::changedBytes;
  return FullReadReason::none;
}

bool StreamCache::takeHashes(Stream& s, std::FILE* file, const PreparedRead& read) noexcept {
  const FrameGeometry& g = read.geometry;
  const int64_t point = g.bytesFor(s.decimator.frames()), at = read.plan->dataOffset;
  s.tailBytes = tailBytesFor(s.decimator, g);
  return hashFileBytes(file, at, point < kHeadBytes ? point : kHeadBytes, s.head) &&
         hashFileBytes(file, at + point - s.tailBytes, s.tailBytes, s.tail);
}

void StreamCache::drop(Stream& s) noexcept {
  s.decimator.release();
  std::free(s.kept);
  s.kept = nullptr;
  s.keptRows = s.keptFirst = s.tailBytes = 0;
  s.keptColumns = 0;
  s.returned = 0;
  s.newestEnd = -1;
  s.used = false;
  s.identity = FileIdentity();
  s.name = s.settings = s.head = s.tail = Digest();
  s.lastUse = 0;
}

void StreamCache::dropAllLocked() noexcept {
  for (Stream& s : slots_) drop(s);
}

void StreamCache::dropAll() noexcept {
  platform::LockGuard hold(lock_);
  dropAllLocked();
}

void StreamCache::resetInChild() noexcept {
  if (platform::tryLock(lock_)) {
    platform::unlock(lock_);
    return;
  }
  platform::resetLockInChild(lock_);
  for (Stream& s : slots_) new (&s) Stream();  // the old one leaked, never freed: a read was changing it
  clock_ = 0;
}

int StreamCache::held(const Stream* (&out)[kStreamSlots]) const noexcept {
  platform::LockGuard hold(lock_);
  int n = 0;
  for (const Stream& s : slots_)
    if (s.used) out[n++] = &s;
  std::sort(out, out + n, [](const Stream* x, const Stream* y) { return x->lastUse > y->lastUse; });
  return n;
}

OutputRange placedOutputs(const ReadPlan& plan, int64_t nOut) noexcept {
  OutputRange r;
  const int64_t lastRow = plan.destEnd < plan.stride - 1 ? plan.destEnd : plan.stride - 1;
  r.first = plan.srcStart;
  if (r.first < plan.srcStart - plan.destStart) r.first = plan.srcStart - plan.destStart;  // row 0
  if (r.first < 0) r.first = 0;
  r.last = plan.srcEnd < nOut - 1 ? plan.srcEnd : nOut - 1;
  if (r.last > plan.srcStart - plan.destStart + lastRow) r.last = plan.srcStart - plan.destStart + lastRow;
  return r;
}

bool seekFile(std::FILE* file, int64_t offset) noexcept {
#if defined(_WIN32)
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

int64_t fileLength(std::FILE* file) noexcept {
#if defined(_WIN32)
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = static_cast<int64_t>(ftello(file));
#endif
  return seekFile(file, 0) ? length : -1;
}

}  // namespace eeg
