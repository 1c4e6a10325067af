// What eegfetch returns and writes, through the embedded host, against the plain reference read
// (reference_read.h): every encoding and byte order, filters, weights, selections, placement
// windows, short files, converted field classes and host allocation failures.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <random>

#include "gateway_support.h"

namespace {

using gwtest::Recording;
using gwtest::TempFile;
using mexhost::Array;
using mexhost::charArray;
using mexhost::doubleMatrix;
using mexhost::rowVector;
using mexhost::scalar;

// A call with its header and option structs kept, so OPT.data can be read back afterwards.
struct Call {
  Array name, hdr = mexhost::structArray(), opt = mexhost::structArray();
  explicit Call(const std::string& path) : name(charArray(path)) {}
  void h(const char* f, Array v) { mexhost::setField(hdr.get(), f, std::move(v)); }
  void o(const char* f, Array v) { mexhost::setField(opt.get(), f, std::move(v)); }
  mexhost::CallResult run(int nlhs = 1) {
    return gwtest::module().call(nlhs, {name.get(), hdr.get(), opt.get()});
  }
  std::vector<double> data() const { return mexhost::values(mxGetField(opt.get(), 0, "data")); }
};

std::vector<double> toVector(const std::vector<int>& v) { return std::vector<double>(v.begin(), v.end()); }

Recording randomRecording(std::mt19937& rng, int format, bool big, int nChans, size_t frames) {
  Recording r;
  r.format = format;
  r.bigEndian = big;
  r.nChans = nChans;
  std::uniform_int_distribution<int> i16(-32768, 32767);
  std::uniform_int_distribution<int32_t> i32(INT32_MIN, INT32_MAX);
  std::normal_distribution<float> f32(0.0f, 1000.0f);
  for (size_t i = 0; i < frames * static_cast<size_t>(nChans); ++i)
    r.samples.push_back(format == 1 ? i16(rng) : format == 2 ? i32(rng) : static_cast<double>(f32(rng)));
  return r;
}

// A stable filter: denominator from real poles inside the unit circle, a[0] as given.
void randomFilter(std::mt19937& rng, ref::Plan& plan) {
  std::uniform_int_distribution<int> lengths(1, 5);
  std::uniform_real_distribution<double> u(-0.9, 0.9);
  size_t L = static_cast<size_t>(lengths(rng));
  std::vector<double> a{1.0};
  for (size_t i = 1; i < L; ++i) {
    double p = u(rng);
    std::vector<double> next(a.size() + 1, 0.0);
    for (size_t j = 0; j < a.size(); ++j) {
      next[j] += a[j];
      next[j + 1] -= p * a[j];
    }
    a = next;
  }
  plan.a = a;
  plan.b.clear();
  for (size_t i = 0; i < L; ++i) plan.b.push_back(u(rng));
}

// The reference read of `bytes` into `matrix` (rows x the plan's channels, column-major) through the
// window, resolved as the module resolves OPT.dataPos.
std::vector<double> referenceRead(const std::vector<uint8_t>& bytes, ref::Plan plan,
                                  std::vector<double> matrix, int64_t rows, int64_t destStart,
                                  int64_t destEnd, int64_t srcStart, int64_t srcEnd) {
  plan.stride = rows;
  plan.destStart = destStart;
  plan.destEnd = destEnd;
  plan.srcStart = srcStart;
  plan.srcEnd = srcEnd;
  ref::read(bytes, plan, matrix.data());
  return matrix;
}

TEST(GatewayRead, RandomCallsMatchThePlainReferenceBitForBit) {
  std::mt19937 rng(20261208);
  for (int trial = 0; trial < 60; ++trial) {
    int format = 1 + trial % 3;
    bool big = (trial / 3) % 2 == 1;
    std::uniform_int_distribution<int> chans(1, 6), factors(1, 5), extra(0, 7);
    ref::Plan plan;
    plan.nChans = chans(rng);
    plan.binaryFormat = format;
    plan.swapBytes = big;
    plan.decimationFactor = factors(rng);
    size_t frames = static_cast<size_t>(plan.decimationFactor * 20 + extra(rng));
    plan.nPoints = static_cast<int64_t>(frames);
    Recording rec = randomRecording(rng, format, big, plan.nChans, frames);
    const std::vector<uint8_t> bytes = gwtest::encode(rec);
    TempFile file(bytes);
    randomFilter(rng, plan);
    if (trial % 2) {
      std::uniform_real_distribution<double> w(-1, 1);
      for (int i = 0; i < plan.decimationFactor; ++i) plan.weights.push_back(w(rng));
    }
    std::uniform_int_distribution<int> pick(0, plan.nChans - 1), nsel(0, 5);
    for (int k = nsel(rng); k > 0; --k) plan.channels.push_back(pick(rng));
    std::vector<int> chanidx;  // 1-based
    for (int32_t c : plan.channels) chanidx.push_back(c + 1);
    std::uniform_real_distribution<double> s(-3, 3);
    for (int c = 0; c < plan.nChans; ++c) plan.scale.push_back(s(rng));
    size_t nSel = plan.channels.size();

    Call call(file.path());
    call.h("fs", scalar(plan.decimationFactor * 125));
    call.h("nChans", scalar(plan.nChans));
    call.h("BinaryFormat", scalar(format));
    if (trial % 4 != 0) call.h("nPoints", scalar(static_cast<double>(frames)));
    call.h("scale", rowVector(plan.scale));
    call.h("endian", charArray(big ? "b" : "l"));
    call.o("chanidx", rowVector(toVector(chanidx)));
    call.o("fs", scalar(125));
    if (plan.b.size() > 1 || trial % 5 == 0) {
      call.o("filt_a", rowVector(plan.a));
      call.o("filt_b", rowVector(plan.b));
    } else {
      plan.b.clear();  // no filter options: the identity filter
      plan.a.clear();
    }
    if (!plan.weights.empty()) call.o("filt_subsample", rowVector(plan.weights));
    const int64_t nOut = static_cast<int64_t>(frames) / plan.decimationFactor;
    const std::vector<double> expected = referenceRead(
        bytes, plan, std::vector<double>(static_cast<size_t>(nOut) * nSel), nOut, 0, nOut, 0, nOut);

    SCOPED_TRACE("trial " + std::to_string(trial));
    mexhost::CallResult r = call.run();
    ASSERT_FALSE(r.failed) << r.message;
    EXPECT_TRUE(r.warnings.empty());
    ASSERT_TRUE(r.results[0]);
    EXPECT_EQ(mxGetM(r.results[0].get()), static_cast<size_t>(nOut));
    EXPECT_EQ(mxGetN(r.results[0].get()), nSel);
    EXPECT_EQ(mexhost::values(r.results[0].get()), expected);

    // The same read placed into a prefilled OPT.data through a random window, with the copy.
    std::uniform_int_distribution<int> rowsDist(0, 30), pos(-3, 25);
    int64_t rows = rowsDist(rng);
    std::vector<double> prefill(static_cast<size_t>(rows) * nSel);
    for (size_t i = 0; i < prefill.size(); ++i) prefill[i] = 1000.0 + static_cast<double>(i);
    int64_t window[4] = {pos(rng), pos(rng), pos(rng), pos(rng)};
    if (trial % 3 == 0) window[3] = -1;
    if (trial % 7 == 0) window[2] = -1;
    call.o("data", doubleMatrix(static_cast<size_t>(rows), nSel, prefill));
    bool withPos = trial % 6 != 1;
    if (withPos)
      call.o("dataPos", rowVector({static_cast<double>(window[0]), static_cast<double>(window[1]),
                                   static_cast<double>(window[2]), static_cast<double>(window[3])}));
    r = call.run();
    ASSERT_FALSE(r.failed) << r.message;
    const std::vector<double> want =
        withPos ? referenceRead(bytes, plan, prefill, rows, window[0], window[1],
                                window[2] == -1 ? 0 : window[2], window[3] == -1 ? nOut : window[3])
                : referenceRead(bytes, plan, prefill, rows, 0, rows, 0, nOut);
    EXPECT_EQ(call.data(), want);
    ASSERT_TRUE(r.results[0]);
    EXPECT_EQ(mexhost::values(r.results[0].get()), want);
    if (!want.empty()) {
      EXPECT_NE(mxGetPr(r.results[0].get()), mxGetPr(mxGetField(call.opt.get(), 0, "data")));
    }
  }
}

// A recording of 4 int32 channels whose frame f holds 100 f + c on channel c (1-based).
Recording rampRecording(size_t frames) {
  Recording r;
  r.nChans = 4;
  r.format = 2;
  for (size_t f = 0; f < frames; ++f)
    for (int c = 1; c <= 4; ++c) r.samples.push_back(static_cast<double>(100 * f) + c);
  return r;
}

Call rampCall(const std::string& path, double nPoints) {
  Call c(path);
  c.h("fs", scalar(1000));
  c.h("nChans", scalar(4));
  c.h("BinaryFormat", scalar(2));
  if (nPoints >= 0) c.h("nPoints", scalar(nPoints));
  c.h("scale", rowVector({1, 1, 1, 1}));
  c.h("endian", charArray("l"));
  c.o("chanidx", rowVector({3, 1}));
  c.o("fs", scalar(250));
  return c;
}

TEST(GatewayRead, OutputRowsHoldTheLastFrameOfEachBlockByDefault) {
  TempFile file(gwtest::encode(rampRecording(100)));
  Call c = rampCall(file.path(), 99);  // 24 whole blocks, 3 frames that never complete one
  mexhost::CallResult r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  ASSERT_EQ(mxGetM(r.results[0].get()), 24u);
  std::vector<double> v = mexhost::values(r.results[0].get());
  for (size_t i = 0; i < 24; ++i) {
    EXPECT_EQ(v[i], static_cast<double>(100 * (4 * i + 3) + 3));  // column 1: channel 3
    EXPECT_EQ(v[i + 24], static_cast<double>(100 * (4 * i + 3) + 1));
  }
}

TEST(GatewayRead, WithoutNPointsTheWholeFramesOfTheFileAreRead) {
  // 201 bytes of two int16 channels: 50 frames and a trailing byte.
  std::vector<uint8_t> bytes(201);
  for (size_t i = 0; i + 1 < 200; i += 2) bytes[i] = static_cast<uint8_t>(i / 2);
  bytes[200] = 0x7f;
  TempFile file(bytes);
  Call c(file.path());
  c.h("fs", scalar(100));
  c.h("nChans", scalar(2));
  c.h("BinaryFormat", scalar(1));
  c.h("scale", rowVector({1, 1}));
  c.h("endian", charArray("l"));
  c.o("chanidx", rowVector({1, 2}));
  c.o("fs", scalar(100));
  mexhost::CallResult r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_TRUE(r.warnings.empty());
  ASSERT_EQ(mxGetM(r.results[0].get()), 50u);
  std::vector<double> v = mexhost::values(r.results[0].get());
  EXPECT_EQ(v[49], 98.0);
  EXPECT_EQ(v[99], 99.0);
}

TEST(GatewayRead, EachWindowPlacesOnlyWhatItAdmits) {
  TempFile file(gwtest::encode(rampRecording(400)));  // 100 output samples
  struct Window {
    std::vector<double> pos;
    std::vector<std::pair<int, int>> rowFromSample;  // rows written and the sample they hold
  };
  std::vector<Window> windows = {
      {{10, 19, 0, 9}, {}},   {{0, 4, 0, -1}, {}}, {{0, 99, 7, 3}, {}},  // srcStart after srcEnd: nothing
      {{0, -1, 0, -1}, {}},    // destEnd -1 is a real bound: nothing
      {{-5, 99, 0, 99}, {}},   // rows below 0 are skipped
      {{90, 200, 0, 99}, {}},  // rows past the matrix are skipped
  };
  for (int i = 10; i <= 19; ++i) windows[0].rowFromSample.push_back({i, i - 10});
  for (int i = 0; i <= 4; ++i) windows[1].rowFromSample.push_back({i, i});
  for (int i = 0; i <= 94; ++i) windows[4].rowFromSample.push_back({i, i + 5});
  for (int i = 90; i < 100; ++i) windows[5].rowFromSample.push_back({i, i - 90});
  for (const Window& w : windows) {
    Call c = rampCall(file.path(), 400);
    std::vector<double> prefill(200, -7.0);
    c.o("data", doubleMatrix(100, 2, prefill));
    c.o("dataPos", rowVector(w.pos));
    mexhost::CallResult r = c.run(0);
    ASSERT_FALSE(r.failed) << r.message;
    std::vector<double> want = prefill;
    for (auto& rs : w.rowFromSample) {
      want[static_cast<size_t>(rs.first)] = 100.0 * (4 * rs.second + 3) + 3;
      want[static_cast<size_t>(rs.first) + 100] = 100.0 * (4 * rs.second + 3) + 1;
    }
    EXPECT_EQ(c.data(), want) << "dataPos " << w.pos[0] << " " << w.pos[1] << " " << w.pos[2] << " "
                              << w.pos[3];
  }
}

TEST(GatewayRead, ASmallTargetIsNeverWrittenPastItsRows) {
  TempFile file(gwtest::encode(rampRecording(400)));
  Call c = rampCall(file.path(), 400);
  c.o("data", doubleMatrix(3, 2));  // 100 output samples, 3 rows, default window
  mexhost::CallResult r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(c.data(), gwtest::vec({303, 703, 1103, 301, 701, 1101}));
  // A new call without OPT.data returns a new matrix and leaves the earlier target alone.
  Call fresh = rampCall(file.path(), 400);
  r = fresh.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(mxGetM(r.results[0].get()), 100u);
  EXPECT_EQ(c.data(), gwtest::vec({303, 703, 1103, 301, 701, 1101}));
}

TEST(GatewayRead, AShortFileInventsNoFramesAndSaysHowManyItHeld) {
  std::vector<uint8_t> bytes = gwtest::encode(rampRecording(37));
  bytes.push_back(1);  // part of a 38th frame
  bytes.push_back(2);
  TempFile file(bytes);
  Call c = rampCall(file.path(), 100);
  mexhost::CallResult r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("100 frames"), std::string::npos) << r.warnings[0];
  EXPECT_NE(r.warnings[0].find("only 37 whole frames"), std::string::npos) << r.warnings[0];
  ASSERT_EQ(mxGetM(r.results[0].get()), 25u);
  std::vector<double> v = mexhost::values(r.results[0].get());
  for (size_t i = 0; i < 25; ++i) EXPECT_EQ(v[i], i < 9 ? 100.0 * (4 * i + 3) + 3 : 0.0) << "row " << i;

  // Into OPT.data, rows past the end of the file keep their contents.
  Call d = rampCall(file.path(), 100);
  d.o("data", doubleMatrix(25, 2, std::vector<double>(50, 5.0)));
  r = d.run(0);
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(r.warnings.size(), 1u);
  std::vector<double> got = d.data();
  for (size_t i = 0; i < 25; ++i) EXPECT_EQ(got[i], i < 9 ? 100.0 * (4 * i + 3) + 3 : 5.0) << "row " << i;
}

// A new matrix from files that end before HDR.nPoints, within a block, at a block boundary, within a
// frame, before the first frame, and large enough for the read to use two threads: the rows of the
// blocks the file completes hold the reference read, and every later row is +0 in every column.
TEST(GatewayRead, RowsPastTheEndOfAShortFileAreZeroInEveryColumn) {
  struct Case {
    int nChans;
    int64_t nPoints, frames;
    size_t strayBytes;  // of a frame the file does not complete
  };
  const Case cases[] = {
      {3, 400, 37, 0}, {3, 400, 40, 0}, {3, 400, 43, 5}, {3, 400, 0, 1}, {64, 24000, 17003, 3}};
  std::mt19937 rng(5151);
  for (const Case& t : cases) {
    SCOPED_TRACE("file of " + std::to_string(t.frames) + " frames");
    ref::Plan plan;
    plan.nChans = t.nChans;
    plan.nPoints = t.nPoints;
    plan.decimationFactor = 4;
    randomFilter(rng, plan);
    // A few channels of a small frame; every channel of a large one, so that the read splits them.
    std::uniform_int_distribution<int> pick(0, t.nChans - 1);
    for (int k = 0; k < (t.nChans > 8 ? t.nChans : 5); ++k)
      plan.channels.push_back(t.nChans > 8 ? (k * 37) % t.nChans : pick(rng));
    std::vector<int> chanidx;
    for (int32_t c : plan.channels) chanidx.push_back(c + 1);
    std::uniform_real_distribution<double> s(-3, 3);
    for (int c = 0; c < t.nChans; ++c) plan.scale.push_back(s(rng));
    std::vector<uint8_t> bytes =
        gwtest::encode(randomRecording(rng, 1, false, t.nChans, static_cast<size_t>(t.frames)));
    bytes.insert(bytes.end(), t.strayBytes, 0x55);
    TempFile file(bytes);

    Call c(file.path());
    c.h("fs", scalar(1000));
    c.h("nChans", scalar(t.nChans));
    c.h("BinaryFormat", scalar(1));
    c.h("nPoints", scalar(static_cast<double>(t.nPoints)));
    c.h("scale", rowVector(plan.scale));
    c.h("endian", charArray("l"));
    c.o("chanidx", rowVector(toVector(chanidx)));
    c.o("fs", scalar(250));
    c.o("filt_a", rowVector(plan.a));
    c.o("filt_b", rowVector(plan.b));
    mexhost::CallResult r = c.run();
    ASSERT_FALSE(r.failed) << r.message;
    EXPECT_EQ(r.warnings.size(), 1u);
    ASSERT_TRUE(r.results[0]);

    const int64_t nOut = t.nPoints / 4, written = t.frames / 4;
    const std::vector<double> want = referenceRead(
        bytes, plan, std::vector<double>(static_cast<size_t>(nOut) * chanidx.size()), nOut, 0, nOut, 0, nOut);
    const std::vector<double> got = mexhost::values(r.results[0].get());
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < chanidx.size(); ++k) {
      for (int64_t i = 0; i < nOut; ++i) {
        const size_t at = k * static_cast<size_t>(nOut) + static_cast<size_t>(i);
        if (i < written) {
          ASSERT_TRUE(ref::sameBits(got[at], want[at]) && !std::isnan(got[at]))
              << "column " << k << " row " << i << ": " << got[at] << " vs " << want[at];
        } else {
          ASSERT_TRUE(got[at] == 0.0 && !std::signbit(got[at]))
              << "column " << k << " row " << i << ": " << got[at];
        }
      }
    }
  }
}

TEST(GatewayRead, NPointsZeroGivesAnEmptyResult) {
  TempFile file(gwtest::encode(rampRecording(8)));
  Call c = rampCall(file.path(), 0);
  mexhost::CallResult r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(mxGetM(r.results[0].get()), 0u);
  EXPECT_EQ(mxGetN(r.results[0].get()), 2u);
}

TEST(GatewayRead, OtherNumericClassesGiveTheSameResultAsDoubles) {
  std::mt19937 rng(7);
  Recording rec = randomRecording(rng, 1, false, 4, 64);
  TempFile file(gwtest::encode(rec));
  auto build = [&](bool converted) {
    Call c(file.path());
    c.h("fs", converted ? mexhost::numeric(mxINT16_CLASS, 1, 1, {1000}) : scalar(1000));
    c.h("nChans", converted ? mexhost::numeric(mxUINT8_CLASS, 1, 1, {4}) : scalar(4));
    c.h("BinaryFormat", converted ? mexhost::numeric(mxINT64_CLASS, 1, 1, {1}) : scalar(1));
    c.h("nPoints", converted ? mexhost::numeric(mxUINT32_CLASS, 1, 1, {64}) : scalar(64));
    // 2^60 is beyond 2^53 but has an exact double, so an int64 holding it is taken as it is.
    const double big = 1152921504606846976.0;
    c.h("scale",
        converted ? mexhost::numeric(mxINT64_CLASS, 1, 4, {2, -3, big, 5}) : rowVector({2, -3, big, 5}));
    c.h("endian", charArray("l"));
    c.o("chanidx", converted ? mexhost::numeric(mxUINT8_CLASS, 1, 3, {4, 1, 4}) : rowVector({4, 1, 4}));
    c.o("fs", converted ? mexhost::numeric(mxSINGLE_CLASS, 1, 1, {250}) : scalar(250));
    c.o("filt_a", converted ? mexhost::numeric(mxSINGLE_CLASS, 1, 2, {1, -0.5}) : rowVector({1, -0.5}));
    c.o("filt_b", converted ? mexhost::numeric(mxSINGLE_CLASS, 1, 2, {0.25, 0.75}) : rowVector({0.25, 0.75}));
    c.o("filt_subsample",
        converted ? mexhost::numeric(mxINT32_CLASS, 1, 4, {1, 0, 2, -1}) : rowVector({1, 0, 2, -1}));
    c.o("data", doubleMatrix(16, 3));
    c.o("dataPos",
        converted ? mexhost::numeric(mxINT8_CLASS, 1, 4, {2, 15, 0, -1}) : rowVector({2, 15, 0, -1}));
    return c;
  };
  Call plain = build(false), converted = build(true);
  ASSERT_FALSE(plain.run().failed);
  mexhost::CallResult r = converted.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(converted.data(), plain.data());
  std::vector<double> d = plain.data();
  EXPECT_NE(d[2], 0.0);  // something was placed
}

TEST(GatewayRead, AnEmptyFilterPairIsTheIdentityFilter) {
  TempFile file(gwtest::encode(rampRecording(40)));
  Call none = rampCall(file.path(), 40), empty = rampCall(file.path(), 40);
  empty.o("filt_a", doubleMatrix(1, 0));
  empty.o("filt_b", doubleMatrix(1, 0));
  mexhost::CallResult a = none.run(), b = empty.run();
  ASSERT_FALSE(a.failed || b.failed) << a.message << b.message;
  EXPECT_EQ(mexhost::values(b.results[0].get()), mexhost::values(a.results[0].get()));
}

TEST(GatewayRead, NoResultRequestedStillLeavesNothingBehind) {
  TempFile file(gwtest::encode(rampRecording(40)));
  int fds = gwtest::openDescriptors();
  Call c = rampCall(file.path(), 40);
  size_t arrays = mexhost::liveArrays();
  mexhost::CallResult r = c.run(0);
  EXPECT_FALSE(r.failed);
  EXPECT_EQ(mexhost::liveArrays(), arrays);
  c.o("data", doubleMatrix(10, 2));
  arrays = mexhost::liveArrays();
  r = c.run(0);
  EXPECT_FALSE(r.failed);
  EXPECT_TRUE(r.results.empty());
  EXPECT_EQ(c.data()[9], 3903.0);
  EXPECT_EQ(mexhost::liveArrays(), arrays);
  EXPECT_EQ(gwtest::openDescriptors(), fds);
}

TEST(GatewayRead, AFailedHostAllocationLeavesTheFileForTheNextCallToClose) {
  TempFile file(gwtest::encode(rampRecording(40)));
  int fds = gwtest::openDescriptors();
  Call c = rampCall(file.path(), 40);
  size_t arrays = mexhost::liveArrays();
  mexhost::failHostAllocation(1);  // the result matrix
  mexhost::CallResult r = c.run();
  mexhost::failHostAllocation(0);
  EXPECT_TRUE(r.failed);
  EXPECT_NE(r.message.find("Out of memory"), std::string::npos);
  EXPECT_EQ(mexhost::liveArrays(), arrays);
  // Only the data file is left, in the module's slot; the next call closes it.
  EXPECT_EQ(gwtest::openDescriptors(), fds + 1);
  r = c.run();
  EXPECT_FALSE(r.failed) << r.message;
  EXPECT_EQ(gwtest::openDescriptors(), fds);

  // With OPT.data the copy is made after the file is closed.
  c.o("data", doubleMatrix(10, 2));
  mexhost::failHostAllocation(1);
  r = c.run(1);
  mexhost::failHostAllocation(0);
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(gwtest::openDescriptors(), fds);
  EXPECT_EQ(c.data()[9], 3903.0);  // the in-place write happened before
}

TEST(GatewayRead, UnloadingTheModuleClosesAFileLeftByAFailedAllocation) {
  TempFile file(gwtest::encode(rampRecording(40)));
  int fds = gwtest::openDescriptors();
  {
    mexhost::Module own(EEGFETCH_MODULE);
    Call c = rampCall(file.path(), 40);
    mexhost::failHostAllocation(1);
    mexhost::CallResult r = own.call(1, {c.name.get(), c.hdr.get(), c.opt.get()});
    mexhost::failHostAllocation(0);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(gwtest::openDescriptors(), fds + 1);
    own.unload();
  }
  EXPECT_EQ(gwtest::openDescriptors(), fds);
}

// Sparse files: the length is a 64-bit count.
class SparseFile {
 public:
  explicit SparseFile(int64_t bytes) {
    char pattern[] = "/tmp/eegfetch_gw_big_XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    ok_ = fd >= 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    if (fd >= 0) close(fd);
  }
  ~SparseFile() { std::remove(path_.c_str()); }
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool ok_ = false;
};

TEST(GatewayRead, AFileOfMoreFramesThanA32BitCountIsRefusedWithoutNPoints) {
  SparseFile big((int64_t{1} << 32) + 6);  // 2^31 + 3 one-channel int16 frames
  ASSERT_TRUE(big.ok());
  int fds = gwtest::openDescriptors();
  Call c(big.path());
  c.h("fs", scalar(1));
  c.h("nChans", scalar(1));
  c.h("BinaryFormat", scalar(1));
  c.h("scale", rowVector({1}));
  c.h("endian", charArray("l"));
  c.o("chanidx", rowVector({1}));
  c.o("fs", scalar(1));
  mexhost::CallResult r = c.run();
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message,
            "The eeg file holds more than 2147483647 frames; set HDR.nPoints to read a part of it.");
  EXPECT_EQ(gwtest::openDescriptors(), fds);
  // With HDR.nPoints the start of the same file is read.
  c.h("nPoints", scalar(10));
  r = c.run();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(mxGetM(r.results[0].get()), 10u);
}

}  // namespace
