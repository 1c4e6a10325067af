// Helpers of the gateway tests: the loaded module, recordings written to temporary files, calls
// described as plain field lists, open descriptor counts, and a straightforward reference read.
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

// A file in the test's temporary folder, removed when the object goes.
class TempFile {
 public:
  explicit TempFile(const std::vector<uint8_t>& bytes) {
    char pattern[] = "/tmp/eegfetch_gw_XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) std::abort();
    path_ = pattern;
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0) std::abort();
      done += static_cast<size_t>(w);
    }
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Samples of a recording, frame after frame (channel 1 first), and their encoding.
struct Recording {
  int nChans = 1;
  int format = 1;  // 1 int16, 2 int32, 3 float32
  bool bigEndian = false;
  std::vector<double> samples;  // exact values of the encoding's type
  size_t frames() const { return samples.size() / static_cast<size_t>(nChans); }
};

inline std::vector<uint8_t> encode(const Recording& r) {
  std::vector<uint8_t> out;
  int width = r.format == 1 ? 2 : 4;
  for (double v : r.samples) {
    uint32_t bits = 0;
    if (r.format == 1) {
      bits = static_cast<uint16_t>(static_cast<int16_t>(v));
    } else if (r.format == 2) {
      bits = static_cast<uint32_t>(static_cast<int32_t>(v));
    } else {
      float f = static_cast<float>(v);
      std::memcpy(&bits, &f, 4);
    }
    for (int i = 0; i < width; ++i) {
      int shift = 8 * (r.bigEndian ? width - 1 - i : i);
      out.push_back(static_cast<uint8_t>(bits >> shift));
    }
  }
  return out;
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

// The read, written out plainly: every channel filtered in direct form II transposed, a weighted
// sum per block, scaled selected channels, placed through the window. Returns the output rows
// (nOut x nSel, row-major) of the frames given.
struct Reference {
  int nChans = 1;
  std::vector<double> b{1.0}, a{1.0};
  int factor = 1;
  std::vector<double> weights;  // empty: the last frame of a block alone
  std::vector<int> chanidx;     // 1-based
  std::vector<double> scale;

  std::vector<std::vector<double>> outputs(const std::vector<double>& samples, size_t frames) const {
    size_t L = b.size();
    std::vector<std::vector<double>> z(static_cast<size_t>(nChans), std::vector<double>(L, 0.0));
    std::vector<double> acc(static_cast<size_t>(nChans), 0.0);
    std::vector<double> w = weights;
    if (w.empty()) {
      w.assign(static_cast<size_t>(factor), 0.0);
      w.back() = 1.0;
    }
    std::vector<std::vector<double>> rows;
    int phase = 0;
    for (size_t f = 0; f < frames; ++f) {
      for (int c = 0; c < nChans; ++c) {
        double x = samples[f * static_cast<size_t>(nChans) + static_cast<size_t>(c)];
        std::vector<double>& s = z[static_cast<size_t>(c)];
        double y = b[0] * x + s[0];
        for (size_t i = 1; i < L; ++i) s[i - 1] = b[i] * x + s[i] - y * a[i];
        acc[static_cast<size_t>(c)] += y * w[static_cast<size_t>(phase)];
      }
      if (++phase == factor) {
        phase = 0;
        std::vector<double> row;
        for (int ch : chanidx)
          row.push_back(acc[static_cast<size_t>(ch - 1)] * scale[static_cast<size_t>(ch - 1)]);
        rows.push_back(row);
        for (double& v : acc) v = 0.0;
      }
    }
    return rows;
  }
};

// Places output rows into a column-major matrix of `rowsTotal` rows as the window says.
inline void place(const std::vector<std::vector<double>>& out, std::vector<double>& matrix, int64_t rowsTotal,
                  int64_t destStart, int64_t destEnd, int64_t srcStart, int64_t srcEnd) {
  for (int64_t i = 0; i < static_cast<int64_t>(out.size()); ++i) {
    if (i < srcStart || i > srcEnd) continue;
    int64_t r = destStart + i - srcStart;
    if (r > destEnd || r < 0 || r >= rowsTotal) continue;
    for (size_t k = 0; k < out[static_cast<size_t>(i)].size(); ++k)
      matrix[static_cast<size_t>(r) + k * static_cast<size_t>(rowsTotal)] = out[static_cast<size_t>(i)][k];
  }
}

inline std::vector<double> vec(std::initializer_list<double> v) { return v; }

}  // namespace gwtest

#endif
