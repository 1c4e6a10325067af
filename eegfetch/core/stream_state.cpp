#include "stream_state.h"

#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace eeg {

namespace {

// Two 64-bit lanes with their own multipliers, mixed word by word: 128 bits, so that two different
// settings or byte runs agree by chance with a probability too small to matter.
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
  uint64_t value() const { return mix(a) ^ (mix(b) << 1); }
};

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

uint64_t settingsFingerprint(const ReadPlan& plan) noexcept {
  Hasher h;
  h.word(uint64_t(plan.nChans));
  h.word(uint64_t(plan.binaryFormat) << 1 | (plan.swapBytes ? 1 : 0));
  h.word(uint64_t(plan.filterLength));
  h.word(plan.b ? 1 : 0);
  h.doubles(plan.b, plan.filterLength);
  h.doubles(plan.a, plan.filterLength);
  h.word(uint64_t(plan.decimationFactor));
  h.word(plan.weights ? 1 : 0);
  h.doubles(plan.weights, plan.decimationFactor);
  h.word(uint64_t(plan.nSel));
  if (plan.channels) h.bytes(plan.channels, static_cast<std::size_t>(plan.nSel) * sizeof(int32_t));
  return h.value();
}

StreamState* findStream(StreamCache& cache, const FileIdentity& identity, uint64_t settings) noexcept {
  if (!identity.known) return nullptr;
  for (StreamState& s : cache.slots)
    if (s.used && s.identity.volume == identity.volume && s.identity.index == identity.index &&
        s.settings == settings) {
      s.lastUse = ++cache.clock;
      return &s;
    }
  return nullptr;
}

StreamState* claimStream(StreamCache& cache) noexcept {
  StreamState* pick = &cache.slots[0];
  for (StreamState& s : cache.slots) {
    if (!s.used) {
      pick = &s;
      break;
    }
    if (s.lastUse < pick->lastUse) pick = &s;
  }
  dropStream(*pick);
  pick->lastUse = ++cache.clock;
  return pick;
}

void dropStream(StreamState& stream) noexcept {
  std::free(stream.filterState);
  std::free(stream.kept);
  stream = StreamState();
}

void dropAllStreams(StreamCache& cache) noexcept {
  for (StreamState& s : cache.slots) dropStream(s);
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

bool hashFileEnds(std::FILE* file, int64_t bytes, uint64_t& head, uint64_t& tail) noexcept {
  unsigned char buffer[kHashBytes];
  const int64_t n = bytes < kHashBytes ? bytes : kHashBytes;
  Hasher h;
  if (n > 0 && (!seekFile(file, 0) || std::fread(buffer, 1, std::size_t(n), file) != std::size_t(n)))
    return false;
  h.bytes(buffer, std::size_t(n));
  head = h.value();
  Hasher t;
  if (n > 0 && (!seekFile(file, bytes - n) || std::fread(buffer, 1, std::size_t(n), file) != std::size_t(n)))
    return false;
  t.bytes(buffer, std::size_t(n));
  tail = t.value();
  return true;
}

}  // namespace eeg
