// Filters given as second-order sections: the read gives the reference's bits (each section in the
// order of scipy.signal.sosfilt) in every instruction set, chunk size, thread count, encoding and
// layout; the state carried from read to read and from decimator to decimator keeps them; and a
// band-pass whose b/a form is unstable stays finite as sections.
#include <gtest/gtest.h>

#include <cmath>

#include "core_reference.h"
#include "decimator.h"
#include "filter_kernel.h"
#include "online_read.h"

namespace {

using coretest::Case;

// Random stable sections: each a pair of poles inside the unit circle and any zeros; a0 is never read.
std::vector<double> randomSections(std::mt19937_64& rng, int K) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> sos;
  for (int k = 0; k < K; ++k) {
    const double r = 0.3 + 0.69 * std::abs(u(rng)), theta = 3.14159 * std::abs(u(rng));
    sos.insert(sos.end(), {u(rng), u(rng), u(rng), 1.0, -2 * r * std::cos(theta), r * r});
  }
  return sos;
}

std::vector<eeg::InstructionSet> instructionSets() {
  std::vector<eeg::InstructionSet> isas;
  for (auto isa : {eeg::InstructionSet::sse2, eeg::InstructionSet::avx2, eeg::InstructionSet::avx512})
    if (eeg::kernelFor(isa).filter) isas.push_back(isa);
  return isas;
}

struct Recording {
  Case c;
  std::vector<unsigned char> bytes;
};

// K sections (the loops with the state in registers go to 6, beyond it the state stays in memory),
// every encoding and byte order, multiplexed or in records, with and without offsets and subsets.
Recording randomRecording(std::mt19937_64& rng, int trial) {
  static const int widths[] = {1, 5, 8, 13, 24, 40};
  Recording r;
  Case& c = r.c;
  c.nChans = widths[trial % 6];
  c.binaryFormat = 1 + trial % 4;
  c.swapBytes = trial % 5 == 1;
  c.decimationFactor = 1 + int(rng() % 6);
  const int K = 1 + trial % 8;
  c.sos = randomSections(rng, K);
  const int64_t frames = 80 + int64_t(rng() % 300);
  c.nPoints = frames;
  std::uniform_real_distribution<double> u(-1.5, 1.5);
  if (trial % 3 == 0) {
    c.weights.resize(c.decimationFactor);
    for (auto& w : c.weights) w = u(rng);
  }
  const int nSel = 1 + int(rng() % (trial % 2 ? 2 : c.nChans));  // subsets and whole frames
  for (int k = 0; k < nSel; ++k) c.channels.push_back(int32_t(rng() % c.nChans));
  c.scale.resize(c.nChans);
  for (auto& s : c.scale) s = u(rng);
  if (trial % 7 == 3) {
    c.offset.resize(c.nChans);
    for (auto& o : c.offset) o = u(rng) * 100;
  }
  std::vector<double> samples = coretest::randomSamples(rng, c.binaryFormat, std::size_t(c.nChans) * frames);
  if (trial % 4 == 2) {  // records of 4 frames; every channel at one rate
    c.recordSamples.assign(c.nChans, 4);
    c.nPoints = frames / 4 * 4;
    std::vector<double> blocked(samples.size());
    for (int64_t f = 0; f < c.nPoints; ++f)
      for (int ch = 0; ch < c.nChans; ++ch)
        blocked[(f / 4) * 4 * c.nChans + ch * 4 + f % 4] = samples[f * c.nChans + ch];
    samples = blocked;
  }
  const int64_t nOut = c.nPoints / c.decimationFactor;
  c.stride = nOut;
  c.destEnd = nOut;
  c.srcEnd = nOut;
  r.bytes = coretest::encode(samples, c.binaryFormat, c.swapBytes);
  return r;
}

TEST(Sections, SameBitsAsTheReferenceInEveryInstructionSetChunkThreadCountAndLayout) {
  std::mt19937_64 rng(2718);
  for (int trial = 0; trial < 40; ++trial) {
    const Recording r = randomRecording(rng, trial);
    const std::vector<double> initial(std::size_t(r.c.stride) * r.c.channels.size(), -7.0);
    const auto expected = coretest::referenceRead(r.c, r.bytes, initial);
    coretest::TempFile file(r.bytes);
    for (auto isa : instructionSets())
      for (int threads : {1, 3})
        for (int64_t chunk : {int64_t(1), int64_t(7), int64_t(0)}) {
          std::vector<double> got = initial;
          eeg::ReadPlan plan = coretest::planFor(r.c, got);
          plan.instructionSet = isa;
          plan.threads = threads;
          plan.chunkFrames = chunk;
          const auto out = coretest::readWith(file.path(), plan);
          ASSERT_EQ(out.status, eeg::ReadStatus::ok);
          ASSERT_TRUE(coretest::sameMatrix(expected, got))
              << "trial " << trial << " isa " << int(isa) << " threads " << threads << " chunk " << chunk
              << " sections " << r.c.sos.size() / 6 << " format " << r.c.binaryFormat;
        }
  }
}

// A read that goes on from the stream of earlier reads of a growing file, and a decimator whose state
// was taken and put into another one, give the bits of one read of everything.
TEST(Sections, CarriedStateKeepsTheBits) {
  std::mt19937_64 rng(1618);
  for (int trial = 0; trial < 8; ++trial) {
    Recording r = randomRecording(rng, trial * 4 + 1);  // multiplexed
    const int64_t frameBytes = int64_t(r.c.nChans) * coretest::bytesPerSample(r.c.binaryFormat);
    const std::vector<double> initial(std::size_t(r.c.stride) * r.c.channels.size(), 0.0);
    const auto expected = coretest::referenceRead(r.c, r.bytes, initial);

    // Online: the file grows in random steps; every read places every output into the same target.
    coretest::TempFile file(std::vector<unsigned char>{});
    eeg::StreamCache cache;
    std::vector<double> got = initial;
    int64_t have = 0;
    while (have < r.c.nPoints) {
      have = std::min(r.c.nPoints, have + 1 + int64_t(rng() % 60));
      FILE* w = std::fopen(file.path().c_str(), "wb");
      std::fwrite(r.bytes.data(), 1, std::size_t(have * frameBytes), w);
      std::fclose(w);
      eeg::ReadPlan plan = coretest::planFor(r.c, got);
      plan.nPoints = have;
      FILE* f = std::fopen(file.path().c_str(), "rb");
      eeg::OnlineReport report;
      const auto out = eeg::readOnline(cache, f, plan, eeg::nameDigest("x"), report);
      std::fclose(f);
      ASSERT_EQ(out.status, eeg::ReadStatus::ok);
      if (have > 1 + 60) {
        EXPECT_GT(report.resumedFrames, 0);
      }
    }
    EXPECT_TRUE(coretest::sameMatrix(expected, got)) << "trial " << trial;

    // The plain decimator, its state moved to a second one half-way.
    std::vector<double> decoded(std::size_t(r.c.nPoints) * r.c.nChans);
    for (int64_t i = 0; i < int64_t(decoded.size()); ++i)
      decoded[i] = ref::decodeSample(r.bytes.data() + i * coretest::bytesPerSample(r.c.binaryFormat),
                                     r.c.binaryFormat, r.c.swapBytes);
    std::vector<double> dummy;
    eeg::ReadPlan plan = coretest::planFor(r.c, dummy);
    if (!r.c.offset.empty()) continue;  // the plain decimator takes samples as they are
    eeg::Decimator first, second;
    ASSERT_TRUE(first.setup(eeg::decimatorSetup(plan)));
    ASSERT_TRUE(second.setup(eeg::decimatorSetup(plan)));
    const int64_t nOut = r.c.nPoints / r.c.decimationFactor, nSel = int64_t(r.c.channels.size());
    std::vector<double> sums(std::size_t(nOut * nSel));
    const int64_t half = r.c.nPoints / 2 + 1;
    int64_t blocks = first.push(decoded.data(), half, sums.data(), nOut);
    std::vector<double> state(std::size_t(first.stateSize()));
    first.takeState(state.data());
    second.restoreState(state.data(), first.frames());
    blocks += second.push(decoded.data() + half * r.c.nChans, r.c.nPoints - half, sums.data() + blocks, nOut);
    ASSERT_EQ(blocks, nOut);
    for (int64_t k = 0; k < nSel; ++k)
      for (int64_t i = 0; i < nOut; ++i)
        ASSERT_TRUE(ref::sameBits(expected[i + k * nOut], sums[i + k * nOut] * r.c.scale[r.c.channels[k]]))
            << "trial " << trial << " output " << i << " column " << k;
  }
}

// An 8th-order 0.1-30 Hz Butterworth band-pass at 5 kHz (scipy.signal.butter(4, [0.1, 30], 'bandpass',
// fs=5000)): as b/a its rounded coefficients put a pole at |z| = 1.006 and the output overflows after
// about 115000 frames; as its 4 sections it stays finite and gives the reference's bits.
TEST(Sections, BandPassUnstableAsBaStaysFiniteAsSections) {
  Case c;
  c.nChans = 1;
  c.binaryFormat = 1;
  c.nPoints = 130000;
  c.decimationFactor = 10;
  c.channels = {0};
  c.scale = {0.5};
  c.stride = c.destEnd = c.srcEnd = c.nPoints / 10;
  std::mt19937_64 rng(5);
  const auto bytes = coretest::encode(coretest::randomSamples(rng, 1, std::size_t(c.nPoints)), 1, false);
  coretest::TempFile file(bytes);

  Case ba = c;
  ba.b = {1.1865518756701985e-07, 0.0, -4.746207502680794e-07, 0.0, 7.119311254021191e-07, 0.0,
          -4.746207502680794e-07, 0.0, 1.1865518756701985e-07};
  ba.a = {1.0,
          -7.901799930261783,
          27.31741069532073,
          -53.9665284033844,
          66.6344810899611,
          -52.65785667262047,
          26.00860561762541,
          -7.340788220403718,
          0.9064758237631266};
  std::vector<double> got(std::size_t(c.stride));
  ASSERT_EQ(coretest::readWith(file.path(), coretest::planFor(ba, got)).status, eeg::ReadStatus::ok);
  EXPECT_FALSE(std::isfinite(got.back()));

  Case sos = c;
  sos.sos = {1.1865518756701985e-07,
             2.373103751340397e-07,
             1.1865518756701985e-07,
             1.0,
             -1.9317774739116351,
             0.9331354257633706,
             1.0,
             2.0,
             1.0,
             1.0,
             -1.9703514746619912,
             0.9717497535115659,
             1.0,
             -2.0,
             1.0,
             1.0,
             -1.999766716936024,
             0.9997667329069294,
             1.0,
             -2.0,
             1.0,
             1.0,
             -1.9999042647521321,
             0.9999042805732823};
  const auto expected = coretest::referenceRead(sos, bytes, std::vector<double>(got.size()));
  for (auto isa : instructionSets()) {
    eeg::ReadPlan plan = coretest::planFor(sos, got);
    plan.instructionSet = isa;
    ASSERT_EQ(coretest::readWith(file.path(), plan).status, eeg::ReadStatus::ok);
    EXPECT_TRUE(coretest::sameMatrix(expected, got));
    for (double v : got) ASSERT_TRUE(std::isfinite(v) && std::abs(v) < 1e4);
  }
}

TEST(Sections, SectionsWithBaOrWithoutCoefficientsAreRefused) {
  const double sos[6] = {1, 0, 0, 1, 0, 0}, b[2] = {1, 0}, a[2] = {1, 0};
  const int32_t channels[1] = {0};
  eeg::DecimatorSetup s;
  s.nChans = 1;
  s.channels = channels;
  s.nSel = 1;
  s.sections = 1;
  eeg::Decimator d;
  EXPECT_FALSE(d.setup(s));  // no coefficients
  s.sos = sos;
  s.filterLength = 2;
  s.b = b;
  s.a = a;
  EXPECT_FALSE(d.setup(s));  // both forms
  s.filterLength = 1;
  s.b = s.a = nullptr;
  ASSERT_TRUE(d.setup(s));
  EXPECT_EQ(d.sections(), 1);
  EXPECT_EQ(d.stateSize(), 3);  // z0, z1 and the block sum of the one channel
}

}  // namespace
