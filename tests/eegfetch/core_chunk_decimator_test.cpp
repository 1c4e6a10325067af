// The chunk decimator against the reader: for every instruction set, chunk type and memory order,
// random cuttings of the frames give the rows one read of a file of them gives, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "chunk_decimator.h"
#include "reader.h"
#include "temp_file.h"

namespace {

struct Case {
  int nChans, factor, L;
  std::vector<int32_t> channels;
  bool offset, weights;
  int sections = 0;  // with L 1: the first `sections` rows of kSos
};

// Seven second-order sections of a band-pass, rows [b0 b1 b2 a0 a1 a2].
const double kSos[7][6] = {
    {1.7320191287831803e-05, 3.464038257566361e-05, 1.7320191287831803e-05, 1.0, -1.2673795965463364,
     0.4230281607181119},
    {1.0, 2.0, 1.0, 1.0, -1.384009935814425, 0.5622563056219436},
    {1.0, 2.0, 1.0, 1.0, -1.6045396965791938, 0.8183555856563565},
    {1.0, 0.0, -1.0, 1.0, -1.6028135010484572, 0.6077480957834288},
    {1.0, -2.0, 1.0, 1.0, -1.9773064128283326, 0.9774678991198564},
    {1.0, -2.0, 1.0, 1.0, -1.984860336846202, 0.9850153502213111},
    {1.0, -2.0, 1.0, 1.0, -1.9946400193563847, 0.9947908902819307},
};

// The reader's rows of `frames` frames written in `format` (1 int16, 2 int32, 3 float32), threads as given.
std::vector<double> readFile(const Case& c, const std::vector<double>& x, int64_t frames, int format,
                             const double* b, const double* a, const double* w, const double* scale,
                             const double* offset, int threads) {
  std::vector<unsigned char> bytes;
  for (double v : x) {
    unsigned char buf[4];
    int n = 4;
    if (format == 1) {
      const int16_t s = static_cast<int16_t>(v);
      std::memcpy(buf, &s, 2);
      n = 2;
    } else if (format == 2) {
      const int32_t s = static_cast<int32_t>(v);
      std::memcpy(buf, &s, 4);
    } else {
      const float s = static_cast<float>(v);
      std::memcpy(buf, &s, 4);
    }
    bytes.insert(bytes.end(), buf, buf + n);
  }
  eegtest::TempFile file(bytes);
  const int64_t rows = frames / c.factor;
  std::vector<double> out(size_t(rows) * c.channels.size());
  eeg::ReadPlan plan;
  plan.nChans = c.nChans;
  plan.binaryFormat = format;
  plan.nPoints = frames;
  plan.filterLength = c.L;
  plan.b = c.L > 1 ? b : nullptr;
  plan.a = c.L > 1 ? a : nullptr;
  plan.sos = c.sections ? kSos[0] : nullptr;
  plan.sections = c.sections;
  plan.decimationFactor = c.factor;
  plan.weights = c.weights ? w : nullptr;
  plan.channels = c.channels.data();
  plan.nSel = static_cast<int>(c.channels.size());
  plan.scale = scale;
  plan.offset = c.offset ? offset : nullptr;
  plan.target = out.data();
  plan.stride = rows;
  plan.columnStep = rows;  // column-major
  plan.destEnd = rows;
  plan.srcEnd = rows;
  plan.threads = threads;
  plan.chunkFrames = 37;
  std::FILE* f = std::fopen(file.path().c_str(), "rb");
  const eeg::ReadOutcome r = eeg::readRecording(f, plan);
  std::fclose(f);
  EXPECT_EQ(r.status, eeg::ReadStatus::ok);
  return out;
}

template <typename T>
std::vector<double> pushAll(const Case& c, const std::vector<double>& x, int64_t frames, eeg::ChunkType type,
                            bool columnMajor, const eeg::ChunkSetup& setup, std::mt19937& rng) {
  std::vector<T> typed(x.size());
  for (size_t i = 0; i < x.size(); ++i) {  // frame-major as given, or channel-major
    const size_t f = i / size_t(c.nChans), ch = i % size_t(c.nChans);
    typed[columnMajor ? ch * size_t(frames) + f : i] = static_cast<T>(x[i]);
  }
  eeg::ChunkDecimator d;
  EXPECT_TRUE(d.setup(setup));
  const int64_t rows = frames / c.factor;
  const int64_t nSel = static_cast<int64_t>(c.channels.size());
  std::vector<double> out(size_t(rows) * size_t(nSel), NAN);
  int64_t row = 0;
  for (int64_t start = 0; start < frames;) {
    const int pick = std::uniform_int_distribution<int>(0, 9)(rng);
    int64_t n = pick < 2   ? 0
                : pick < 4 ? 1
                : pick < 6 ? c.factor
                           : std::uniform_int_distribution<int64_t>(2, 300)(rng);
    if (n > frames - start) n = frames - start;
    eeg::ChunkView v;
    v.type = type;
    v.frames = n;
    v.data = typed.data() + (columnMajor ? start : start * c.nChans);
    v.frameStep = columnMajor ? 1 : c.nChans;
    v.channelStep = columnMajor ? frames : 1;
    EXPECT_EQ(d.rowsFor(n), (start % c.factor + n) / c.factor);
    row += d.push(v, out.data() + row, 1, rows);
    start += n;
  }
  EXPECT_EQ(row, rows);
  return out;
}

TEST(ChunkDecimator, EveryCuttingTypeOrderAndInstructionSetGivesTheReadersRows) {
  const double b[] = {0.0201, 0.0402, 0.0201, 0.001, -0.0004};
  const double a[] = {1, -1.561, 0.6414, 0.02, -0.003};
  const double w[] = {0.1, 0.2, 0.3, 0.25, 0.15};
  const std::vector<Case> cases = {
      {10, 4, 3, {2, 0, 9, 9}, false, false},                                 // a subset, gathered
      {16, 5, 5, {15, 0, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, false, true},  // all, read where they lie
      {11, 2, 2, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false, false},           // whole vectors and a tail
      {9, 3, 1, {8, 0, 4, 4, 1, 2, 3, 5}, true, false},                       // offsets
      {16, 5, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, false, false, 6},  // sections, in
                                                                                            // place
      {11, 2, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, false, true, 7},  // more than the loop decodes itself
      {10, 4, 1, {2, 0, 9}, true, false, 2},                           // sections of a subset, offsets
  };
  std::mt19937 rng(7);
  for (const Case& c : cases) {
    const int64_t frames = 1201;
    std::vector<double> scale(size_t(c.nChans)), offset(size_t(c.nChans));
    for (int ch = 0; ch < c.nChans; ++ch) scale[size_t(ch)] = 0.1 * (ch + 1), offset[size_t(ch)] = ch - 3.5;
    for (int format = 1; format <= 3; ++format) {
      std::vector<double> x(size_t(frames) * size_t(c.nChans));
      for (double& v : x)
        v = format == 1   ? double(std::uniform_int_distribution<int>(-32768, 32767)(rng))
            : format == 2 ? double(std::uniform_int_distribution<int32_t>(INT32_MIN, INT32_MAX)(rng))
                          : double(float(std::normal_distribution<double>(0, 1000)(rng)));
      const std::vector<double> want =
          readFile(c, x, frames, format, b, a, w, scale.data(), offset.data(), format == 2 ? 2 : 1);
      for (auto isa : {eeg::InstructionSet::sse2, eeg::InstructionSet::avx2, eeg::InstructionSet::avx512}) {
        if (!eeg::kernelFor(isa).filter) continue;
        eeg::ChunkSetup s;
        s.decimator.nChans = c.nChans;
        s.decimator.filterLength = c.L;
        s.decimator.b = c.L > 1 ? b : nullptr;
        s.decimator.a = c.L > 1 ? a : nullptr;
        s.decimator.sos = c.sections ? kSos[0] : nullptr;
        s.decimator.sections = c.sections;
        s.decimator.factor = c.factor;
        s.decimator.weights = c.weights ? w : nullptr;
        s.decimator.channels = c.channels.data();
        s.decimator.nSel = static_cast<int>(c.channels.size());
        s.scale = scale.data();
        s.offset = c.offset ? offset.data() : nullptr;
        s.instructionSet = isa;
        for (bool columnMajor : {false, true}) {
          SCOPED_TRACE(testing::Message() << "nChans " << c.nChans << " format " << format << " isa "
                                          << int(isa) << " column-major " << columnMajor);
          std::vector<double> got;
          if (format == 1) got = pushAll<int16_t>(c, x, frames, eeg::ChunkType::int16, columnMajor, s, rng);
          if (format == 2) got = pushAll<int32_t>(c, x, frames, eeg::ChunkType::int32, columnMajor, s, rng);
          if (format == 3) got = pushAll<float>(c, x, frames, eeg::ChunkType::float32, columnMajor, s, rng);
          ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(double)));
          // Doubles of the same values: the same arithmetic.
          got = pushAll<double>(c, x, frames, eeg::ChunkType::float64, columnMajor, s, rng);
          ASSERT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(double)));
        }
      }
    }
  }
}

TEST(ChunkDecimator, StateGoesOutAndBackAsPlainDoublesAndAChangeIsSeen) {
  const double b[] = {0.5, 0.25}, a[] = {1, -0.25}, scale[] = {1, 2, 3};
  const int32_t channels[] = {2, 0};
  eeg::ChunkSettings s;
  s.setup.decimator.nChans = 3;
  s.setup.decimator.filterLength = 2;
  s.setup.decimator.b = b;
  s.setup.decimator.a = a;
  s.setup.decimator.factor = 2;
  s.setup.decimator.channels = channels;
  s.setup.decimator.nSel = 2;
  s.setup.scale = scale;
  s.fs = 100;
  s.maxGap = 0.02;
  std::vector<double> setup(size_t(eeg::settingsSize(s)));
  eeg::packSettings(s, setup.data());
  eeg::ChunkSettings back;
  int32_t room[2];
  ASSERT_TRUE(eeg::unpackSettings(setup.data(), int64_t(setup.size()), back, room, 2));
  EXPECT_EQ(back.setup.decimator.nSel, 2);
  EXPECT_EQ(room[0], 2);
  EXPECT_EQ(back.setup.decimator.b[1], 0.25);
  EXPECT_EQ(back.maxGap, 0.02);
  EXPECT_FALSE(eeg::unpackSettings(setup.data(), int64_t(setup.size()) - 1, back, room, 2));

  const double state[] = {5, 1.5, 0, 0.25, -1};
  double c1[2], c2[2];
  eeg::stateCheck(setup.data(), int64_t(setup.size()), state, 5, c1);
  std::vector<double> changed(state, state + 5);
  changed[4] = -1.0000000000000002;
  eeg::stateCheck(setup.data(), int64_t(setup.size()), changed.data(), 5, c2);
  EXPECT_TRUE(c1[0] != c2[0] || c1[1] != c2[1]);
  EXPECT_TRUE(c1[0] >= 0 && c1[0] < 4294967296.0 && c1[0] == std::floor(c1[0]));
}

TEST(ChunkDecimator, SectionsGoOutAndBackWithTheSettings) {
  const double w[] = {0.5, 0.5}, scale[] = {0.5, 2};
  const int32_t channels[] = {1, 0};
  eeg::ChunkSettings s;
  s.setup.decimator.nChans = 2;
  s.setup.decimator.sos = kSos[0];
  s.setup.decimator.sections = 3;
  s.setup.decimator.factor = 2;
  s.setup.decimator.weights = w;
  s.setup.decimator.channels = channels;
  s.setup.decimator.nSel = 2;
  s.setup.scale = scale;
  s.fs = 100;
  s.maxGap = 0.02;
  std::vector<double> setup(size_t(eeg::settingsSize(s)));
  eeg::packSettings(s, setup.data());
  eeg::ChunkSettings back;
  int32_t room[2];
  ASSERT_TRUE(eeg::unpackSettings(setup.data(), int64_t(setup.size()), back, room, 2));
  ASSERT_EQ(back.setup.decimator.sections, 3);
  EXPECT_EQ(back.setup.decimator.b, nullptr);
  EXPECT_EQ(0, std::memcmp(back.setup.decimator.sos, kSos[0], sizeof(double) * 18));
  EXPECT_EQ(back.setup.decimator.weights[1], 0.5);

  // The decimator of the unpacked settings filters as the one of the originals.
  std::vector<int16_t> x(2 * 301);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<int16_t>((i * 7919) % 2001) - 1000;
  eeg::ChunkView v;
  v.data = x.data();
  v.type = eeg::ChunkType::int16;
  v.frames = 301;
  v.frameStep = 2;
  std::vector<double> y1(300), y2(300);
  eeg::ChunkDecimator d1, d2;
  ASSERT_TRUE(d1.setup(s.setup) && d2.setup(back.setup));
  EXPECT_EQ(d1.decimator().sections(), 3);
  EXPECT_EQ(d1.push(v, y1.data(), 2, 1), 150);
  EXPECT_EQ(d2.push(v, y2.data(), 2, 1), 150);
  EXPECT_EQ(0, std::memcmp(y1.data(), y2.data(), sizeof(double) * y1.size()));

  std::vector<double> bad = setup;
  bad[0] = 1;  // the settings of the version before sections
  EXPECT_FALSE(eeg::unpackSettings(bad.data(), int64_t(bad.size()), back, room, 2));
  bad = setup;
  bad[10] = 2;  // sections that are not there
  EXPECT_FALSE(eeg::unpackSettings(bad.data(), int64_t(bad.size()), back, room, 2));
  bad = setup;
  bad[5] = 1;  // b/a as well as sections
  EXPECT_FALSE(eeg::unpackSettings(bad.data(), int64_t(bad.size()), back, room, 2));
}

TEST(ChunkDecimator, TimesAreCheckedAndGapsListed) {
  const double t[] = {1.0, 1.001, 1.002, 1.010, 1.011, 1.011};
  int64_t gaps = 0, at = 0;
  EXPECT_EQ(eeg::checkTimes(t, 6, 1, 0.999, 0.002, gaps, at), eeg::TimesCheck::ok);
  EXPECT_EQ(gaps, 1);
  double frame[1], jump[1];
  eeg::listGaps(t, 6, 1, 0.999, 0.002, 100, frame, jump);
  EXPECT_EQ(frame[0], 104);  // the fourth frame of a chunk after 100 frames
  EXPECT_NEAR(jump[0], 0.008, 1e-12);
  EXPECT_EQ(eeg::checkTimes(t, 6, 1, 1.0005, 0.002, gaps, at), eeg::TimesCheck::backwards);
  EXPECT_EQ(at, 0);
  const double bad[] = {1.0, NAN};
  EXPECT_EQ(eeg::checkTimes(bad, 2, 1, NAN, 0.002, gaps, at), eeg::TimesCheck::notFinite);
  EXPECT_EQ(at, 1);
}

}  // namespace
