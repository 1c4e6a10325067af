// Sample decoding: the byte examples of the file format, and every encoding and byte order through the
// whole read against the reference encoder/decoder.
#include <gtest/gtest.h>

#include <limits>

#include "core_reference.h"
#include "sample_decoder.h"

namespace {

double decodeOne(int format, bool swap, std::vector<unsigned char> bytes) {
  eeg::SampleDecoder d;
  EXPECT_TRUE(eeg::setupSampleDecoder(d, format, swap));
  return eeg::decodeSample(d, bytes.data());
}

TEST(CoreDecoding, ByteExamplesOfTheFormat) {
  EXPECT_EQ(decodeOne(1, true, {0x01, 0x02}), 258.0);
  EXPECT_EQ(decodeOne(1, false, {0x01, 0x02}), 513.0);
  EXPECT_EQ(decodeOne(2, true, {0x00, 0x00, 0x01, 0x00}), 256.0);
  EXPECT_EQ(decodeOne(2, false, {0x00, 0x00, 0x01, 0x00}), 65536.0);
  EXPECT_EQ(decodeOne(3, true, {0x3F, 0x80, 0x00, 0x00}), 1.0);
  EXPECT_EQ(decodeOne(3, false, {0x00, 0x00, 0x80, 0x3F}), 1.0);
  EXPECT_EQ(decodeOne(1, true, {0xFF, 0xFF}), -1.0);
  EXPECT_EQ(decodeOne(1, false, {0xFF, 0xFF}), -1.0);
}

TEST(CoreDecoding, ExtremesAreExact) {
  EXPECT_EQ(decodeOne(1, false, {0x00, 0x80}), -32768.0);
  EXPECT_EQ(decodeOne(1, true, {0x7F, 0xFF}), 32767.0);
  EXPECT_EQ(decodeOne(2, false, {0x00, 0x00, 0x00, 0x80}), -2147483648.0);
  EXPECT_EQ(decodeOne(2, true, {0x7F, 0xFF, 0xFF, 0xFF}), 2147483647.0);
  EXPECT_EQ(decodeOne(3, true, {0x00, 0x00, 0x00, 0x01}), double(std::numeric_limits<float>::denorm_min()));
  EXPECT_EQ(decodeOne(3, true, {0xFF, 0x80, 0x00, 0x00}), -std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(decodeOne(3, false, {0x00, 0x00, 0xC0, 0x7F})));
}

TEST(CoreDecoding, UnknownCodesAreRefused) {
  eeg::SampleDecoder d;
  EXPECT_FALSE(eeg::setupSampleDecoder(d, 0, false));
  EXPECT_FALSE(eeg::setupSampleDecoder(d, 5, true));
}

TEST(CoreDecoding, RandomValuesOfEveryEncodingAndByteOrder) {
  std::mt19937_64 rng(7);
  for (int format = 1; format <= 3; ++format)
    for (bool big : {false, true}) {
      const auto values = coretest::randomSamples(rng, format, 101);
      const auto bytes = coretest::encode(values, format, big);
      eeg::SampleDecoder d;
      ASSERT_TRUE(eeg::setupSampleDecoder(d, format, big));
      std::vector<double> out(values.size());
      for (std::size_t k = 0; k < values.size(); ++k)
        out[k] = eeg::decodeSample(d, bytes.data() + k * d.bytesPerSample);
      EXPECT_TRUE(coretest::sameMatrix(values, out)) << "format " << format << " big " << big;
    }
}

// Identity filter, factor 1, every channel selected: the result is the decoded file, for every
// encoding and byte order.
TEST(CoreDecoding, EveryEncodingAndByteOrderThroughTheRead) {
  std::mt19937_64 rng(11);
  for (int format = 1; format <= 3; ++format)
    for (bool big : {false, true}) {
      coretest::Case c;
      c.nChans = 5;
      c.binaryFormat = format;
      c.swapBytes = big;
      c.nPoints = 37;
      c.channels = {0, 1, 2, 3, 4};
      c.scale.assign(5, 1.0);
      c.stride = c.nPoints;
      c.destEnd = c.nPoints;
      c.srcEnd = c.nPoints;
      const auto values = coretest::randomSamples(rng, format, 5 * 37);
      const auto bytes = coretest::encode(values, format, big);
      coretest::TempFile file(bytes);
      std::vector<double> target(37 * 5, 0.0);
      const auto out = coretest::readWith(file.path(), coretest::planFor(c, target));
      ASSERT_EQ(out.status, eeg::ReadStatus::ok);
      EXPECT_EQ(out.framesRead, 37);
      EXPECT_EQ(out.blocks, 37);
      for (int f = 0; f < 37; ++f)
        for (int ch = 0; ch < 5; ++ch)
          ASSERT_TRUE(coretest::sameBits(values[f * 5 + ch], target[f + ch * 37]))
              << "format " << format << " big " << big << " frame " << f << " channel " << ch;
    }
}

}  // namespace
