// The read as a whole against the independent reference: filters, decimation, selection, scaling,
// placement windows and the end of the file.
#include <gtest/gtest.h>

#include "core_reference.h"

namespace {

using coretest::Case;

// A case with every channel selected, the whole result placed in a fresh matrix.
Case wholeCase(int nChans, int format, bool big, int64_t nPoints, int factor) {
  Case c;
  c.nChans = nChans;
  c.binaryFormat = format;
  c.swapBytes = big;
  c.nPoints = nPoints;
  c.decimationFactor = factor;
  for (int ch = 0; ch < nChans; ++ch) c.channels.push_back(ch);
  c.scale.assign(nChans, 1.0);
  c.stride = nPoints / factor;
  c.destEnd = c.stride;
  c.srcEnd = c.stride;
  return c;
}

// Reads `bytes` with the reader and the reference into copies of `initial`, compares bit for bit.
void expectSameAsReference(const Case& c, const std::vector<unsigned char>& bytes,
                           std::vector<double> initial) {
  coretest::TempFile file(bytes);
  const auto expected = coretest::referenceRead(c, bytes, initial);
  std::vector<double> got = initial;
  const auto out = coretest::readWith(file.path(), coretest::planFor(c, got));
  ASSERT_EQ(out.status, eeg::ReadStatus::ok);
  EXPECT_TRUE(coretest::sameMatrix(expected, got));
}

// --- Known filters -------------------------------------------------------------------------------------

// Filter outputs of one channel: xs on channel `channel` of nChans float32 channels (the others zero),
// factor 1, that channel selected with scale 1.
std::vector<double> runFilter(const std::vector<double>& b, const std::vector<double>& a, int nChans,
                              const std::vector<double>& xs, int channel) {
  Case c = wholeCase(nChans, 3, false, int64_t(xs.size()), 1);
  c.b = b;
  c.a = a;
  c.channels = {channel};
  std::vector<double> samples(xs.size() * nChans, 0.0);
  for (std::size_t f = 0; f < xs.size(); ++f) samples[f * nChans + channel] = xs[f];
  coretest::TempFile file(coretest::encode(samples, 3, false));
  std::vector<double> ys(xs.size(), -1.0);
  const auto out = coretest::readWith(file.path(), coretest::planFor(c, ys));
  EXPECT_EQ(out.blocks, int64_t(xs.size()));
  return ys;
}

TEST(CoreFilter, SmallKnownFilters) {
  EXPECT_EQ(runFilter({}, {}, 1, {3.5, -2.0, 7.0}, 0), (std::vector<double>{3.5, -2.0, 7.0}));
  EXPECT_EQ(runFilter({0.5, 0.5}, {1, 0}, 1, {2, 4, 6}, 0), (std::vector<double>{1, 3, 5}));
  EXPECT_EQ(runFilter({1, 0}, {1, -0.5}, 1, {1, 0, 0}, 0), (std::vector<double>{1, 0.5, 0.25}));
  // a[0] is never read: b = [1], a = [2] passes the input unchanged.
  EXPECT_EQ(runFilter({1}, {2}, 3, {4, 5, 6}, 2), (std::vector<double>{4, 5, 6}));
  EXPECT_EQ(runFilter({1, 0}, {0, -0.5}, 1, {1, 0, 0}, 0), (std::vector<double>{1, 0.5, 0.25}));
}

// An impulse on channel 0 of 12 (more than one vector of channels) rings there alone.
TEST(CoreFilter, ChannelStatesAreIndependent) {
  Case c = wholeCase(12, 3, false, 3, 1);
  c.b = {1, 0};
  c.a = {1, -0.5};
  std::vector<double> samples(3 * 12, 0.0);
  samples[0] = 1.0;
  coretest::TempFile file(coretest::encode(samples, 3, false));
  std::vector<double> target(3 * 12, -1.0);
  coretest::readWith(file.path(), coretest::planFor(c, target));
  for (int ch = 0; ch < 12; ++ch)
    for (int f = 0; f < 3; ++f)
      EXPECT_EQ(target[ch * 3 + f], ch == 0 ? 1.0 / (1 << f) : 0.0) << ch << " " << f;
}

TEST(CoreFilter, RandomStableFiltersMatchTheReference) {
  std::mt19937_64 rng(2024);
  for (int trial = 0; trial < 24; ++trial) {
    const int L = 1 + trial % 10;
    const int format = 1 + trial % 3;
    Case c = wholeCase(1 + trial % 7, format, trial % 2 == 1, 300 + trial, 1 + trial % 4);
    coretest::randomStableFilter(rng, L, c.b, c.a);
    const auto bytes =
        coretest::encode(coretest::randomSamples(rng, format, c.nChans * c.nPoints), format, c.swapBytes);
    SCOPED_TRACE(trial);
    expectSameAsReference(c, bytes, std::vector<double>(c.stride * c.nChans, 0.0));
  }
}

// --- Decimation, weights, selection and scaling ---------------------------------------------------------

TEST(CoreDecimation, DefaultWeightsKeepTheLastFrameOfEachBlock) {
  Case c = wholeCase(3, 1, false, 40, 4);
  c.channels = {2, 0};
  c.scale = {0.5, 7.0, -2.0};
  std::vector<double> samples;
  for (int f = 0; f < 40; ++f)
    for (int ch = 0; ch < 3; ++ch) samples.push_back(100 * ch + f);
  coretest::TempFile file(coretest::encode(samples, 1, false));
  std::vector<double> target(10 * 2, -1.0);
  const auto out = coretest::readWith(file.path(), coretest::planFor(c, target));
  ASSERT_EQ(out.blocks, 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(target[i], (200 + 4 * i + 3) * -2.0);
    EXPECT_EQ(target[i + 10], (4 * i + 3) * 0.5);
  }
}

TEST(CoreDecimation, FactorOneScalesEveryFilteredSample) {
  Case c = wholeCase(2, 2, true, 5, 1);
  c.b = {0.5, 0.5};
  c.a = {1, 0};
  c.scale = {10.0, 0.25};
  c.channels = {1, 1, 0};
  std::vector<double> target(5 * 3, 0.0);
  coretest::TempFile file(coretest::encode({2, 8, 4, 8, 6, 16, 8, 0, 10, 4}, 2, true));
  coretest::readWith(file.path(), coretest::planFor(c, target));
  const std::vector<double> ch0{10, 30, 50, 70, 90}, ch1{1, 2, 3, 2, 0.5};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(target[i], ch1[i]);
    EXPECT_EQ(target[5 + i], ch1[i]);
    EXPECT_EQ(target[10 + i], ch0[i]);
  }
}

TEST(CoreDecimation, MeanWeightsGiveTheBlockMeanTimesScale) {
  Case c = wholeCase(1, 1, false, 8, 4);
  c.weights = {0.25, 0.25, 0.25, 0.25};
  c.scale = {2.0};
  std::vector<double> target(2, 0.0);
  coretest::TempFile file(coretest::encode({1, 2, 3, 6, 10, 20, 30, 40}, 1, false));
  coretest::readWith(file.path(), coretest::planFor(c, target));
  EXPECT_EQ(target, (std::vector<double>{6.0, 50.0}));
}

TEST(CoreDecimation, RandomWeightsSelectionsAndScalesMatchTheReference) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> u(-2.0, 2.0);
  for (int trial = 0; trial < 16; ++trial) {
    const int format = 1 + trial % 3;
    Case c = wholeCase(2 + trial % 11, format, trial % 2 == 0, 500 + 13 * trial, 1 + trial % 6);
    coretest::randomStableFilter(rng, 1 + trial % 5, c.b, c.a);
    c.weights.resize(c.decimationFactor);
    for (auto& w : c.weights) w = u(rng);
    c.channels.clear();
    for (int k = 0; k < 1 + trial % 9; ++k) c.channels.push_back(int32_t(rng() % c.nChans));
    for (auto& s : c.scale) s = u(rng);
    const auto bytes =
        coretest::encode(coretest::randomSamples(rng, format, c.nChans * c.nPoints), format, c.swapBytes);
    SCOPED_TRACE(trial);
    expectSameAsReference(c, bytes, std::vector<double>(c.stride * c.channels.size(), 0.0));
  }
}

// --- Placement windows ---------------------------------------------------------------------------------

// 100 output samples of one channel: output i is i + 1 (factor 1, identity filter, scale 1).
struct Window {
  int64_t destStart, destEnd, srcStart, srcEnd, rows;
};

std::vector<double> placed(const Window& w) {
  Case c = wholeCase(1, 1, false, 100, 1);
  c.stride = w.rows;
  c.destStart = w.destStart;
  c.destEnd = w.destEnd;
  c.srcStart = w.srcStart;
  c.srcEnd = w.srcEnd;
  std::vector<double> samples;
  for (int i = 0; i < 100; ++i) samples.push_back(i + 1);
  // Guard cells on both sides catch a write outside the matrix.
  std::vector<double> storage(w.rows + 2, -7.0);
  coretest::TempFile file(coretest::encode(samples, 1, false));
  eeg::ReadPlan plan = coretest::planFor(c, storage);
  plan.target = storage.data() + 1;
  const auto out = coretest::readWith(file.path(), plan);
  EXPECT_EQ(out.blocks, 100);
  EXPECT_EQ(storage.front(), -7.0);
  EXPECT_EQ(storage.back(), -7.0);
  return std::vector<double>(storage.begin() + 1, storage.end() - 1);
}

TEST(CorePlacement, WindowsPlaceExactlyTheAdmittedRows) {
  {
    const auto t = placed({10, 19, 0, 9, 100});
    for (int r = 0; r < 100; ++r) EXPECT_EQ(t[r], r >= 10 && r <= 19 ? r - 9 : -7.0) << r;
  }
  {
    const auto t = placed({0, 4, 0, 100, 100});  // later samples are dropped after row 4
    for (int r = 0; r < 100; ++r) EXPECT_EQ(t[r], r <= 4 ? r + 1 : -7.0) << r;
  }
  {
    const auto t = placed({0, 99, 50, 40, 100});  // srcStart > srcEnd: nothing
    for (int r = 0; r < 100; ++r) EXPECT_EQ(t[r], -7.0);
  }
  {
    const auto t = placed({0, -1, 0, 100, 100});  // destEnd -1: nothing
    for (int r = 0; r < 100; ++r) EXPECT_EQ(t[r], -7.0);
  }
  {
    const auto t = placed({3, 60, 90, 99, 100});  // a late source range to early rows
    for (int r = 0; r < 100; ++r) EXPECT_EQ(t[r], r >= 3 && r <= 12 ? r + 88 : -7.0) << r;
  }
}

TEST(CorePlacement, RowsOutsideTheMatrixAreSkipped) {
  {
    const auto t = placed({0, 100, 0, 100, 30});  // fewer rows than output samples
    for (int r = 0; r < 30; ++r) EXPECT_EQ(t[r], r + 1);
  }
  {
    const auto t = placed({-5, 1000, 0, 100, 20});  // starts below row 0 and runs past the end
    for (int r = 0; r < 20; ++r) EXPECT_EQ(t[r], r + 6);
  }
  {
    const auto t = placed({25, 1000, 0, 100, 20});  // starts past the end
    for (int r = 0; r < 20; ++r) EXPECT_EQ(t[r], -7.0);
  }
}

// --- End of the file -----------------------------------------------------------------------------------

TEST(CoreEndOfFile, FramesPastTheEndAreNotInvented) {
  std::mt19937_64 rng(5);
  for (int extraBytes : {0, 1, 5}) {  // a partial trailing frame is ignored
    Case c = wholeCase(3, 1, false, 403, 4);
    coretest::randomStableFilter(rng, 3, c.b, c.a);
    auto bytes = coretest::encode(coretest::randomSamples(rng, 1, 3 * 203), 1, false);
    for (int i = 0; i < extraBytes; ++i) bytes.push_back(0x55);
    std::vector<double> initial(c.stride * 3, 42.0);
    coretest::TempFile file(bytes);
    std::vector<double> got = initial;
    const auto out = coretest::readWith(file.path(), coretest::planFor(c, got));
    EXPECT_EQ(out.status, eeg::ReadStatus::ok);
    EXPECT_EQ(out.framesRead, 203);
    EXPECT_EQ(out.blocks, 50);  // three trailing frames make no block
    EXPECT_TRUE(coretest::sameMatrix(coretest::referenceRead(c, bytes, initial), got));
    for (int64_t r = 50; r < c.stride; ++r)
      EXPECT_EQ(got[r], 42.0);  // rows never completed keep their values
  }
}

TEST(CoreEndOfFile, EmptyFileAndZeroFrames) {
  Case c = wholeCase(2, 3, true, 10, 1);
  std::vector<double> target(20, 1.5);
  {
    coretest::TempFile file({});
    const auto out = coretest::readWith(file.path(), coretest::planFor(c, target));
    EXPECT_EQ(out.framesRead, 0);
    EXPECT_EQ(out.blocks, 0);
  }
  {
    coretest::TempFile file(coretest::encode({1, 2, 3, 4}, 3, true));
    c.nPoints = 0;
    const auto out = coretest::readWith(file.path(), coretest::planFor(c, target));
    EXPECT_EQ(out.framesRead, 0);
  }
  EXPECT_EQ(target, std::vector<double>(20, 1.5));
}

TEST(CoreEndOfFile, TrailingFramesAfterTheLastBlockLeaveNoTrace) {
  std::mt19937_64 rng(8);
  Case c = wholeCase(4, 2, false, 403, 4);
  const auto bytes = coretest::encode(coretest::randomSamples(rng, 2, 4 * 403), 2, false);
  coretest::TempFile file(bytes);
  std::vector<double> target(100 * 4, 0.0);
  const auto out = coretest::readWith(file.path(), coretest::planFor(c, target));
  EXPECT_EQ(out.framesRead, 403);
  EXPECT_EQ(out.blocks, 100);
  EXPECT_TRUE(coretest::sameMatrix(coretest::referenceRead(c, bytes, std::vector<double>(400, 0.0)), target));
}

}  // namespace
