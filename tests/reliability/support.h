// Shared helpers of the reliability tests: recordings, argument structs, and the process-wide
// counts (descriptors, threads, mapped libraries) that must come back after faults.
#ifndef EEGMEX_RELIABILITY_SUPPORT_H
#define EEGMEX_RELIABILITY_SUPPORT_H

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "mexhost.h"

namespace rel {

inline size_t countEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}
inline size_t openDescriptors() { return countEntries("/proc/self/fd"); }
inline size_t threads() { return countEntries("/proc/self/task"); }

// Whether a file whose path ends with `suffix` is mapped into this process.
inline bool mapped(const std::string& suffix) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line))
    if (line.size() >= suffix.size() && line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  return false;
}

// A folder of its own under /tmp, removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/eegmex_rel_XXXXXX";
    if (!mkdtemp(name)) std::abort();
    path_ = name;
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// int16 little-endian frames: sample (frame f, channel c) = (f * 7 + c * 3) % 2001 - 1000.
inline int16_t sampleAt(int64_t f, int c) { return static_cast<int16_t>((f * 7 + c * 3) % 2001 - 1000); }

inline void writeRecording(const std::string& path, int64_t frames, int nChans) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  std::vector<unsigned char> frame(static_cast<size_t>(nChans) * 2);
  for (int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < nChans; ++c) {
      uint16_t u = static_cast<uint16_t>(sampleAt(i, c));
      frame[static_cast<size_t>(c) * 2] = static_cast<unsigned char>(u & 0xff);
      frame[static_cast<size_t>(c) * 2 + 1] = static_cast<unsigned char>(u >> 8);
    }
    std::fwrite(frame.data(), 1, frame.size(), f);
  }
  std::fclose(f);
}

// HDR for int16 little-endian frames at 1000 Hz; nPoints < 0 leaves the field out.
inline mexhost::Array header(int nChans, int64_t nPoints) {
  mexhost::Array hdr = mexhost::structArray();
  mexhost::setField(hdr.get(), "fs", mexhost::scalar(1000));
  mexhost::setField(hdr.get(), "nChans", mexhost::scalar(nChans));
  mexhost::setField(hdr.get(), "BinaryFormat", mexhost::scalar(1));
  if (nPoints >= 0) mexhost::setField(hdr.get(), "nPoints", mexhost::scalar(static_cast<double>(nPoints)));
  std::vector<double> scale;
  for (int c = 0; c < nChans; ++c) scale.push_back(0.5 + c);
  mexhost::setField(hdr.get(), "scale", mexhost::rowVector(scale));
  mexhost::setField(hdr.get(), "endian", mexhost::charArray("l"));
  return hdr;
}

// OPT selecting channels 2 and 1 at 250 Hz (factor 4), a two-tap filter and block-mean weights.
inline mexhost::Array options(bool filtered = true) {
  mexhost::Array opt = mexhost::structArray();
  mexhost::setField(opt.get(), "chanidx", mexhost::rowVector({2, 1}));
  mexhost::setField(opt.get(), "fs", mexhost::scalar(250));
  if (filtered) {
    mexhost::setField(opt.get(), "filt_b", mexhost::rowVector({0.5, 0.5}));
    mexhost::setField(opt.get(), "filt_a", mexhost::rowVector({1, 0}));
    mexhost::setField(opt.get(), "filt_subsample", mexhost::rowVector({0.25, 0.25, 0.25, 0.25}));
  }
  return opt;
}

inline const std::string& hostOutOfMemory() {
  static const std::string m = "Out of memory. Type \"help memory\" for your options.";
  return m;
}

}  // namespace rel

#endif
