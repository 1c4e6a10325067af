// Fuzz target: the reader core over random bytes and random read plans, compared bit for bit with
// the plain one-frame-at-a-time read of reference_read.h, for whatever chunk size and thread count;
// and, for some inputs, the same recording growing in steps and read again after each step with a
// read that goes on from the last one (readOnline), each compared with the reference's full read.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "online_read.h"
#include "reader.h"
#include "reference_read.h"

namespace {

// Coefficients and weights: mostly tame values so that long runs stay finite, sometimes anything.
double pickValue(FuzzedDataProvider& in) {
  static const double palette[] = {0.0,
                                   1.0,
                                   -1.0,
                                   0.5,
                                   -0.5,
                                   0.25,
                                   2.0,
                                   1e-3,
                                   -0.9,
                                   0.99,
                                   1e300,
                                   -1e300,
                                   std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN(),
                                   -0.0,
                                   1e-310};
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return in.PickValueInArray(palette);
    case 1: return in.ConsumeFloatingPointInRange<double>(-2.0, 2.0);
    case 2: return static_cast<double>(in.ConsumeIntegralInRange<int>(-4, 4)) / 4.0;
    default: return in.ConsumeFloatingPoint<double>();
  }
}

std::FILE* memoryFile(const std::vector<unsigned char>& bytes) {
  int fd = memfd_create("recording", 0);
  if (fd < 0) std::abort();
  if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
    std::abort();
  lseek(fd, 0, SEEK_SET);
  std::FILE* f = fdopen(fd, "rb");
  if (!f) std::abort();
  return f;
}

void compareCells(const std::vector<double>& actual, const std::vector<double>& expected, int64_t stride,
                  const char* what) {
  for (size_t i = 0; i < actual.size(); ++i) {
    if (!ref::sameBits(actual[i], expected[i])) {
      std::fprintf(stderr, "%s: cell %zu (row %lld, column %lld) is %a, expected %a\n", what, i,
                   static_cast<long long>(static_cast<int64_t>(i) % stride),
                   static_cast<long long>(static_cast<int64_t>(i) / stride), actual[i], expected[i]);
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  ref::Plan rp;
  rp.nChans = in.ConsumeIntegralInRange<int>(1, 9);
  rp.binaryFormat = in.ConsumeIntegralInRange<int>(1, 3);
  rp.swapBytes = in.ConsumeBool();
  int L = in.ConsumeIntegralInRange<int>(0, 5);  // 0: the identity filter (no coefficients)
  for (int i = 0; i < L; ++i) {
    rp.b.push_back(pickValue(in));
    rp.a.push_back(pickValue(in));
  }
  rp.decimationFactor = in.ConsumeIntegralInRange<int>(1, 6);
  if (in.ConsumeBool())
    for (int i = 0; i < rp.decimationFactor; ++i) rp.weights.push_back(pickValue(in));
  int nSel = in.ConsumeIntegralInRange<int>(1, 6);
  for (int k = 0; k < nSel; ++k) rp.channels.push_back(in.ConsumeIntegralInRange<int32_t>(0, rp.nChans - 1));
  for (int c = 0; c < rp.nChans; ++c) rp.scale.push_back(pickValue(in));
  rp.stride = in.ConsumeIntegralInRange<int64_t>(0, 40);
  rp.destStart = in.ConsumeIntegralInRange<int64_t>(-3, 42);
  rp.destEnd = in.ConsumeIntegralInRange<int64_t>(-3, 42);
  rp.srcStart = in.ConsumeIntegralInRange<int64_t>(-3, 42);
  rp.srcEnd = in.ConsumeIntegralInRange<int64_t>(-3, 42);
  int64_t chunk = in.ConsumeIntegralInRange<int64_t>(0, 9);
  int threads = in.ConsumeIntegralInRange<int>(0, 3);
  bool hugeCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
  const int growthSteps =
      in.ConsumeIntegralInRange<int>(0, 3) == 0 ? in.ConsumeIntegralInRange<int>(2, 6) : 0;
  std::vector<size_t> cuts;
  for (int k = 0; k < growthSteps; ++k) cuts.push_back(in.ConsumeIntegral<uint16_t>());
  std::vector<unsigned char> file = in.ConsumeRemainingBytes<unsigned char>();
  const int64_t frameBytes = static_cast<int64_t>(rp.binaryFormat == 1 ? 2 : 4) * rp.nChans;
  const int64_t whole = static_cast<int64_t>(file.size()) / frameBytes;
  // Ask for fewer, exactly as many, or more frames than the file holds.
  const int64_t around = whole + static_cast<int64_t>(size % 7) - 3;
  rp.nPoints = hugeCount ? std::numeric_limits<int32_t>::max() : (around < 0 ? 0 : around);

  const size_t cells = static_cast<size_t>(rp.stride) * rp.channels.size();
  const double sentinel = -12345.678;
  std::vector<double> expected(cells, sentinel), actual(cells, sentinel);
  ref::Result want = ref::read(file, rp, expected.data());

  eeg::ReadPlan plan;
  plan.nChans = rp.nChans;
  plan.binaryFormat = rp.binaryFormat;
  plan.swapBytes = rp.swapBytes;
  plan.nPoints = rp.nPoints;
  plan.filterLength = L == 0 ? 1 : L;
  plan.b = L == 0 ? nullptr : rp.b.data();
  plan.a = L == 0 ? nullptr : rp.a.data();
  plan.decimationFactor = rp.decimationFactor;
  plan.weights = rp.weights.empty() ? nullptr : rp.weights.data();
  plan.channels = rp.channels.data();
  plan.nSel = nSel;
  plan.scale = rp.scale.data();
  plan.target = actual.empty() ? nullptr : actual.data();
  plan.stride = rp.stride;
  plan.columnStep = plan.stride;  // column-major
  plan.destStart = rp.destStart;
  plan.destEnd = rp.destEnd;
  plan.srcStart = rp.srcStart;
  plan.srcEnd = rp.srcEnd;
  plan.chunkFrames = chunk;
  plan.threads = threads;

  std::FILE* f = memoryFile(file);
  eeg::ReadOutcome got = eeg::readRecording(f, plan);
  std::fclose(f);

  if (got.status != eeg::ReadStatus::ok) {
    std::fprintf(stderr,
                 "reader: status %d on a readable in-memory file (nChans %d format %d L %d factor %d nSel %d "
                 "nPoints %lld stride %lld file %zu)\n",
                 static_cast<int>(got.status), rp.nChans, rp.binaryFormat, L, rp.decimationFactor, nSel,
                 static_cast<long long>(rp.nPoints), static_cast<long long>(rp.stride), file.size());
    std::abort();
  }
  if (got.framesRead != want.framesRead || got.blocks != want.blocks) {
    std::fprintf(stderr, "reader: framesRead %lld blocks %lld, expected %lld and %lld\n",
                 static_cast<long long>(got.framesRead), static_cast<long long>(got.blocks),
                 static_cast<long long>(want.framesRead), static_cast<long long>(want.blocks));
    std::abort();
  }
  compareCells(actual, expected, rp.stride, "reader");

  // The recording growing in steps (cut points, in any order, taken in rising order), read after each
  // step by a read that goes on from the one before, against the reference's full read of that much.
  if (!cuts.empty() && !file.empty() && plan.target) {
    for (size_t& c : cuts) c %= file.size() + 1;
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(file.size());
    eeg::StreamCache cache;
    std::FILE* growing = memoryFile({});
    const int fd = fileno(growing);
    size_t written = 0;
    for (size_t cut : cuts) {
      if (cut > written && pwrite(fd, file.data() + written, cut - written, static_cast<off_t>(written)) !=
                               static_cast<ssize_t>(cut - written))
        std::abort();
      written = cut > written ? cut : written;
      const std::vector<unsigned char> prefix(file.begin(), file.begin() + static_cast<long>(written));
      ref::Plan step = rp;
      step.nPoints = static_cast<int64_t>(written) / frameBytes;  // a call without HDR.nPoints
      std::vector<double> want(cells, sentinel), got(cells, sentinel);
      ref::read(prefix, step, want.data());
      eeg::ReadPlan online = plan;
      online.nPoints = step.nPoints;
      online.target = got.data();
      if (std::fseek(growing, 0, SEEK_SET) != 0) std::abort();
      eeg::OnlineReport report;
      eeg::ReadOutcome r = eeg::readOnline(cache, growing, online, eeg::nameDigest("growing"), report);
      if (r.status != eeg::ReadStatus::ok) {
        std::fprintf(stderr, "online: status %d after growing to %zu bytes\n", static_cast<int>(r.status),
                     written);
        std::abort();
      }
      compareCells(got, want, rp.stride, "online");
    }
    cache.dropAll();
    std::fclose(growing);
  }
  return 0;
}
