// Helpers of the gateway tests: the loaded module, recordings written to temporary files, calls
// described as plain field lists and open descriptor counts. The reference read is reference_read.h.
#ifndef EEGFETCH_TESTS_GATEWAY_SUPPORT_H
#define EEGFETCH_TESTS_GATEWAY_SUPPORT_H

#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "mexhost.h"
#include "reference_read.h"
#include "temp_file.h"

namespace gwtest {

using mexhost::Array;

inline mexhost::Module& module() {
  static mexhost::Module m(EEGFETCH_MODULE);
  return m;
}

inline int openDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (!d) return -1;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

using eegtest::TempFile;

// Samples of a recording, frame after frame (channel 1 first), and their encoding.
struct Recording {
  int nChans = 1;
  int format = 1;  // 1 int16, 2 int32, 3 float32
  bool bigEndian = false;
  std::vector<double> samples;  // exact values of the encoding's type
  size_t frames() const { return samples.size() / static_cast<size_t>(nChans); }
};

inline std::vector<uint8_t> encode(const Recording& r) {
  return ref::encode(r.samples, r.format, r.bigEndian);
}

// One call described as plain data; `args()` builds the host arrays.
struct CallArgs {
  int nlhs = 1;
  int nrhs = 3;
  Array fileName;
  std::map<std::string, Array> hdr, opt;
  Array hdrOverride, optOverride;  // used instead of a 1x1 struct of the fields when set

  CallArgs() = default;
  CallArgs(const CallArgs& o) : nlhs(o.nlhs), nrhs(o.nrhs) {
    if (o.fileName) fileName = mexhost::duplicate(o.fileName.get());
    for (auto& kv : o.hdr) hdr[kv.first] = mexhost::duplicate(kv.second.get());
    for (auto& kv : o.opt) opt[kv.first] = mexhost::duplicate(kv.second.get());
    if (o.hdrOverride) hdrOverride = mexhost::duplicate(o.hdrOverride.get());
    if (o.optOverride) optOverride = mexhost::duplicate(o.optOverride.get());
  }

  CallArgs(CallArgs&&) = default;
  CallArgs& operator=(CallArgs&&) = default;
  CallArgs& operator=(const CallArgs& o) { return *this = CallArgs(o); }

  static Array build(const std::map<std::string, Array>& fields, size_t m = 1, size_t n = 1) {
    Array s = mexhost::structArray(m, n);
    for (auto& kv : fields) {
      mexhost::addField(s.get(), kv.first.c_str());
      for (size_t e = 0; e < m * n; ++e)
        mexhost::setField(s.get(), kv.first.c_str(), mexhost::duplicate(kv.second.get()), e);
    }
    return s;
  }

  mexhost::CallResult call() {
    Array h = hdrOverride ? mexhost::duplicate(hdrOverride.get()) : build(hdr);
    Array o = optOverride ? mexhost::duplicate(optOverride.get()) : build(opt);
    Array extra = mexhost::scalar(0);
    std::vector<const mxArray*> all = {fileName.get(), h.get(), o.get(), extra.get()};
    all.resize(static_cast<size_t>(nrhs));
    return module().call(nlhs, all);
  }
};

inline std::vector<double> vec(std::initializer_list<double> v) { return v; }

}  // namespace gwtest

#endif
