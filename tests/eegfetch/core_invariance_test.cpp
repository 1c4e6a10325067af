// The chunked, vectorized and threaded read gives the same bits as the frame-at-a-time reference,
// whatever the chunk size, thread count or instruction set, on random recordings that include NaN and
// infinite samples, across chunk boundaries and the end of the file.
#include <gtest/gtest.h>

#include <limits>

#include "core_reference.h"
#include "filter_kernel.h"

namespace {

using coretest::Case;

struct Recording {
  Case c;
  std::vector<unsigned char> bytes;
  std::vector<double> initial;
};

Recording randomRecording(std::mt19937_64& rng, int trial, int width = 0) {
  static const int widths[] = {1, 3, 7, 8, 9, 16, 17, 33, 64, 70};
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  Recording r;
  Case& c = r.c;
  c.nChans = width > 0 ? width : widths[trial % 10];
  c.binaryFormat = 1 + trial % 3;
  c.swapBytes = (trial / 3) % 2 == 1;
  c.decimationFactor = 1 + int(rng() % 7);
  const int64_t framesInFile = 50 + int64_t(rng() % 400);
  c.nPoints = framesInFile + int64_t(rng() % 3) * int64_t(rng() % 40);  // sometimes past the end
  const int L = 1 + int(rng() % 15);                                    // fixed and any-length loops
  if (L > 1 || rng() % 2) coretest::randomStableFilter(rng, L, c.b, c.a);
  if (rng() % 3) {
    c.weights.resize(c.decimationFactor);
    for (auto& w : c.weights) w = rng() % 4 ? u(rng) : 0.0;
  }
  const int nSel = 1 + int(rng() % (2 * c.nChans));
  for (int k = 0; k < nSel; ++k) c.channels.push_back(int32_t(rng() % c.nChans));
  c.scale.resize(c.nChans);
  for (auto& s : c.scale) s = u(rng);
  const int64_t nOut = c.nPoints / c.decimationFactor;
  c.stride = nOut + int64_t(rng() % 5) - 2;
  if (c.stride < 1) c.stride = 1;
  c.destStart = int64_t(rng() % 7) - 3;
  c.destEnd = rng() % 4 ? c.stride : int64_t(rng() % (c.stride + 1));
  c.srcStart = int64_t(rng() % 5);
  c.srcEnd = rng() % 3 ? nOut : int64_t(rng() % (nOut + 1));
  auto samples = coretest::randomSamples(rng, c.binaryFormat, std::size_t(c.nChans) * framesInFile);
  if (c.binaryFormat == 3) {  // non-finite samples in float files
    const double special[] = {std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity()};
    for (int i = 0; i < 4; ++i) samples[rng() % samples.size()] = special[rng() % 3];
  }
  r.bytes = coretest::encode(samples, c.binaryFormat, c.swapBytes);
  for (int i = int(rng() % 3); i > 0; --i) r.bytes.push_back(0xA5);  // partial trailing frame
  r.initial.resize(std::size_t(c.stride) * c.channels.size());
  for (auto& v : r.initial) v = u(rng);
  return r;
}

TEST(CoreInvariance, SameBitsForEveryChunkSizeThreadCountAndInstructionSet) {
  std::mt19937_64 rng(31337);
  std::vector<eeg::InstructionSet> isas;
  for (auto isa : {eeg::InstructionSet::sse2, eeg::InstructionSet::avx2, eeg::InstructionSet::avx512})
    if (eeg::kernelFor(isa).filter) isas.push_back(isa);
  for (int trial = 0; trial < 60; ++trial) {
    const Recording r = randomRecording(rng, trial);
    const auto expected = coretest::referenceRead(r.c, r.bytes, r.initial);
    const int64_t framesInFile =
        int64_t(r.bytes.size()) / (r.c.nChans * coretest::bytesPerSample(r.c.binaryFormat));
    const int64_t framesRead = std::min(r.c.nPoints, framesInFile);
    coretest::TempFile file(r.bytes);
    for (auto isa : isas)
      for (int threads : {1, 2, 3})
        for (int64_t chunk : {int64_t(1), int64_t(7), int64_t(64), int64_t(0)}) {
          std::vector<double> got = r.initial;
          eeg::ReadPlan plan = coretest::planFor(r.c, got);
          plan.instructionSet = isa;
          plan.threads = threads;
          plan.chunkFrames = chunk;
          const auto out = coretest::readWith(file.path(), plan);
          ASSERT_EQ(out.status, eeg::ReadStatus::ok);
          EXPECT_EQ(out.framesRead, framesRead);
          EXPECT_EQ(out.blocks, framesRead / r.c.decimationFactor);
          ASSERT_TRUE(coretest::sameMatrix(expected, got))
              << "trial " << trial << " isa " << int(isa) << " threads " << threads << " chunk " << chunk
              << " nChans " << r.c.nChans << " format " << r.c.binaryFormat << " L " << r.c.b.size()
              << " factor " << r.c.decimationFactor;
        }
  }
}

// Wide recordings in tiny chunks, with more threads than processors: threads take channel parts of
// different chunks out of step with each other, and a part of one chunk must still follow the same
// part of the chunk before.
TEST(CoreInvariance, SameBitsWhenThreadsTakePartsOutOfStep) {
  std::mt19937_64 rng(4242);
  for (int trial = 0; trial < 6; ++trial) {
    const Recording r = randomRecording(rng, trial, trial % 2 ? 256 : 131);
    const auto expected = coretest::referenceRead(r.c, r.bytes, r.initial);
    coretest::TempFile file(r.bytes);
    for (int threads : {2, 4, 7})
      for (int64_t chunk : {int64_t(1), int64_t(2), int64_t(5)}) {
        std::vector<double> got = r.initial;
        eeg::ReadPlan plan = coretest::planFor(r.c, got);
        plan.threads = threads;
        plan.chunkFrames = chunk;
        const auto out = coretest::readWith(file.path(), plan);
        ASSERT_EQ(out.status, eeg::ReadStatus::ok);
        ASSERT_TRUE(coretest::sameMatrix(expected, got))
            << "trial " << trial << " threads " << threads << " chunk " << chunk << " nChans " << r.c.nChans;
      }
  }
}

// Non-finite samples reach exactly the outputs the definition says: an infinite sample times a zero
// weight is NaN, and NaN stays in its channel's filter state. Channel 2's filter keeps y at +inf from
// frame 5 on, so only the zero weights before each block's last frame make its sums NaN; in chunks of
// one or three frames those frames lie in earlier runs of the loop than the last one.
TEST(CoreInvariance, NonFiniteSamplesStayInTheirChannel) {
  Case c;
  c.nChans = 9;
  c.binaryFormat = 3;
  c.swapBytes = true;
  c.nPoints = 40;
  c.decimationFactor = 4;
  c.b = {0.5, 0.25};
  c.a = {1.0, -0.5};
  for (int ch = 0; ch < 9; ++ch) c.channels.push_back(ch);
  c.scale.assign(9, 1.0);
  c.stride = 10;
  c.destEnd = 10;
  c.srcEnd = 10;
  std::vector<double> samples(9 * 40, 1.0);
  samples[9 * 5 + 2] = std::numeric_limits<double>::infinity();    // frame 5, channel 2
  samples[9 * 30 + 8] = std::numeric_limits<double>::quiet_NaN();  // frame 30, channel 8
  const auto bytes = coretest::encode(samples, 3, true);
  coretest::TempFile file(bytes);
  const auto expected = coretest::referenceRead(c, bytes, std::vector<double>(90, 0.0));
  for (auto isa : {eeg::InstructionSet::sse2, eeg::InstructionSet::avx2, eeg::InstructionSet::avx512})
    for (int64_t chunk : {int64_t(1), int64_t(3), int64_t(0)}) {
      if (!eeg::kernelFor(isa).filter) continue;
      std::vector<double> got(90, 0.0);
      eeg::ReadPlan plan = coretest::planFor(c, got);
      plan.instructionSet = isa;
      plan.chunkFrames = chunk;
      coretest::readWith(file.path(), plan);
      EXPECT_TRUE(coretest::sameMatrix(expected, got)) << "isa " << int(isa) << " chunk " << chunk;
      for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(std::isfinite(got[i])) << i;              // channel 0 untouched
        EXPECT_EQ(std::isnan(got[2 * 10 + i]), i >= 1) << i;  // block 1 holds the infinity times 0
        EXPECT_EQ(std::isnan(got[8 * 10 + i]), i >= 7) << i;  // NaN from frame 30 on
        EXPECT_TRUE(std::isfinite(got[7 * 10 + i])) << i;     // the neighbour in the vector
      }
    }
}

}  // namespace
