// The decimator on its own: frames pushed in pieces of any size, with its state taken and restored into
// another decimator on the way, give the plain reference's block sums bit for bit; reset starts over.
#include <gtest/gtest.h>

#include "core_reference.h"
#include "decimator.h"

namespace {

using coretest::Case;

struct Stream {
  Case c;
  std::vector<unsigned char> file;
  std::vector<double> frames;  // decoded, nChans per frame
};

Stream randomStream(std::mt19937_64& rng, int64_t nFrames) {
  Stream s;
  Case& c = s.c;
  c.nChans = std::uniform_int_distribution<int>(1, 40)(rng);
  c.binaryFormat = 3;
  c.nPoints = nFrames;
  const int L = std::uniform_int_distribution<int>(1, 14)(rng);
  if (L > 1 || rng() % 2) coretest::randomStableFilter(rng, L, c.b, c.a);
  c.decimationFactor = std::uniform_int_distribution<int>(1, 37)(rng);
  if (rng() % 2) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int i = 0; i < c.decimationFactor; ++i) c.weights.push_back(u(rng));
  }
  const int nSel = std::uniform_int_distribution<int>(1, 8)(rng);
  for (int k = 0; k < nSel; ++k)
    c.channels.push_back(std::uniform_int_distribution<int>(0, c.nChans - 1)(rng));
  c.scale.assign(size_t(c.nChans), 1.0);  // the decimator's sums are unscaled
  c.stride = nFrames / c.decimationFactor;
  c.destEnd = c.stride;
  c.srcEnd = c.stride;
  s.frames = coretest::randomSamples(rng, 3, size_t(nFrames) * size_t(c.nChans));
  s.file = coretest::encode(s.frames, 3, false);
  return s;
}

// The decimator a read of the case sets up.
eeg::DecimatorSetup setupFor(const Case& c) {
  std::vector<double> none;
  return eeg::decimatorSetup(coretest::planFor(c, none));
}

TEST(Decimator, PiecesOfAnySizeAndAStateCarriedToAnotherGiveTheReferenceSums) {
  std::mt19937_64 rng(1208);
  for (int trial = 0; trial < 40; ++trial) {
    Stream s = randomStream(rng, std::uniform_int_distribution<int64_t>(0, 3000)(rng));
    const Case& c = s.c;
    const std::vector<double> want =
        coretest::referenceRead(c, s.file, std::vector<double>(size_t(c.stride) * c.channels.size(), 0.0));

    eeg::Decimator first, second;
    ASSERT_TRUE(first.setup(setupFor(c)));
    ASSERT_TRUE(second.setup(setupFor(c)));
    eeg::Decimator* d = &first;
    std::vector<double> got(want.size(), -1.0), state;
    int64_t pushed = 0, blocks = 0;
    while (pushed < c.nPoints) {
      const int64_t n =
          std::min<int64_t>(c.nPoints - pushed, std::uniform_int_distribution<int64_t>(0, 90)(rng));
      blocks += d->push(s.frames.data() + pushed * c.nChans, n, got.data() + blocks, c.stride);
      pushed += n;
      ASSERT_EQ(d->frames(), pushed);
      if (rng() % 5 == 0) {  // hand the stream over to the other decimator
        state.assign(size_t(d->stateSize()), 0.0);
        d->takeState(state.data());
        eeg::Decimator* other = d == &first ? &second : &first;
        other->restoreState(state.data(), d->frames());
        d->reset();  // the old one starts over and keeps nothing of the stream
        ASSERT_EQ(d->frames(), 0);
        d = other;
      }
    }
    EXPECT_EQ(blocks, c.stride);
    EXPECT_TRUE(coretest::sameMatrix(want, got)) << "trial " << trial;

    // After reset the same decimator gives the same sums again.
    d->reset();
    std::vector<double> again(want.size(), -1.0);
    d->push(s.frames.data(), c.nPoints, again.data(), c.stride);
    EXPECT_TRUE(coretest::sameMatrix(want, again)) << "trial " << trial << " after reset";
  }
}

TEST(Decimator, UnusableSettingsAreRefused) {
  const int32_t channels[] = {0, 3};
  const double b[] = {1, 0.5}, a[] = {1, -0.5};
  eeg::DecimatorSetup d;
  d.nChans = 3;
  d.channels = channels;
  d.nSel = 2;
  eeg::Decimator dec;
  EXPECT_FALSE(dec.setup(d));  // channel 3 of three
  d.nChans = 4;
  d.factor = 0;
  EXPECT_FALSE(dec.setup(d));
  d.factor = 2;
  d.b = b;  // b without a
  d.filterLength = 2;
  EXPECT_FALSE(dec.setup(d));
  d.a = a;
  EXPECT_TRUE(dec.setup(d));
  EXPECT_TRUE(dec.ready());
}

}  // namespace
