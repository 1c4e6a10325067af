// Recordings with a header before the data, 24-bit samples, the record-blocked layout and physical
// offsets: every read equals the plain reference bit for bit, whatever the chunk size and threads, and
// a record-blocked recording with a header that its writer keeps updating, grown in pieces smaller
// than a record, reads online after every piece exactly as a full read, also when a read ends inside a
// record.
#include <gtest/gtest.h>

#include <cstring>

#include "core_reference.h"
#include "online_read.h"

namespace {

using coretest::Case;

struct Recording {
  Case c;
  std::vector<unsigned char> file;
};

// A random recording of any layout; `records` asks for the record-blocked one.
Recording randomRecording(std::mt19937_64& rng, bool records) {
  Recording r;
  Case& c = r.c;
  c.nChans = std::uniform_int_distribution<int>(1, 24)(rng);
  c.binaryFormat = std::uniform_int_distribution<int>(1, 4)(rng);
  c.swapBytes = rng() % 2 == 1;
  c.dataOffset = rng() % 3 == 0 ? 0 : std::uniform_int_distribution<int64_t>(1, 3000)(rng);
  const int nSel = std::uniform_int_distribution<int>(1, 6)(rng);
  for (int k = 0; k < nSel; ++k)
    c.channels.push_back(std::uniform_int_distribution<int>(0, c.nChans - 1)(rng));
  int64_t perRecord = 1;
  if (records) {
    perRecord = std::uniform_int_distribution<int64_t>(1, 40)(rng);
    for (int ch = 0; ch < c.nChans; ++ch)  // other rates (and empty channels) besides the selected one
      c.recordSamples.push_back(rng() % 3 == 0 ? int32_t(rng() % 50) : int32_t(perRecord));
    for (int32_t ch : c.channels) c.recordSamples[size_t(ch)] = int32_t(perRecord);
  }
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int ch = 0; ch < c.nChans; ++ch) c.scale.push_back(u(rng) * 10);
  if (rng() % 2)
    for (int ch = 0; ch < c.nChans; ++ch) c.offset.push_back(u(rng) * 1e4);
  const int L = std::uniform_int_distribution<int>(1, 9)(rng);
  if (L > 1 || rng() % 2) coretest::randomStableFilter(rng, L, c.b, c.a);
  c.decimationFactor = std::uniform_int_distribution<int>(1, 30)(rng);
  if (rng() % 2)
    for (int i = 0; i < c.decimationFactor; ++i) c.weights.push_back(u(rng));

  int64_t unitSamples = records ? 0 : c.nChans;
  for (int32_t n : c.recordSamples) unitSamples += n;
  const int64_t units = std::uniform_int_distribution<int64_t>(0, 2000 / perRecord + 3)(rng);
  r.file.resize(size_t(c.dataOffset));
  for (auto& byte : r.file) byte = static_cast<unsigned char>(rng());
  const std::vector<unsigned char> data = coretest::encode(
      coretest::randomSamples(rng, c.binaryFormat, size_t(units * unitSamples)), c.binaryFormat, c.swapBytes);
  r.file.insert(r.file.end(), data.begin(), data.end());
  r.file.resize(r.file.size() + rng() % 7);  // a unit its writer has not finished
  const int64_t frames = units * perRecord;
  c.nPoints = rng() % 4 == 0 ? std::uniform_int_distribution<int64_t>(0, frames + 50)(rng) : frames;
  c.stride = c.nPoints / c.decimationFactor + 2;
  c.destStart = 1;
  c.destEnd = c.stride - 1;
  c.srcStart = 0;
  c.srcEnd = c.stride;
  return r;
}

TEST(CoreLayouts, EveryLayoutEqualsTheReferenceForAnyChunkAndThreads) {
  std::mt19937_64 rng(19);
  for (int trial = 0; trial < 160; ++trial) {
    Recording r = randomRecording(rng, trial % 2 == 1);
    const Case& c = r.c;
    eegtest::TempFile file(r.file);
    const std::vector<double> fresh(size_t(c.stride) * c.channels.size(), -7.0);
    const std::vector<double> want = coretest::referenceRead(c, r.file, fresh);
    std::vector<double> got = fresh;
    eeg::ReadPlan plan = coretest::planFor(c, got);
    plan.chunkFrames = rng() % 2 ? 0 : std::uniform_int_distribution<int64_t>(1, 300)(rng);
    plan.threads = std::uniform_int_distribution<int>(1, 3)(rng);
    const eeg::ReadOutcome out = coretest::readWith(file.path(), plan);
    ASSERT_EQ(out.status, eeg::ReadStatus::ok) << "trial " << trial;
    EXPECT_TRUE(coretest::sameMatrix(want, got))
        << "trial " << trial << " format " << c.binaryFormat << " records " << !c.recordSamples.empty();
  }
}

TEST(CoreLayouts, TwentyFourBitSamplesAreSignExtendedInEitherByteOrder) {
  for (bool big : {false, true}) {
    Case c;
    c.nChans = 3;
    c.binaryFormat = 4;
    c.swapBytes = big;
    c.dataOffset = 5;
    c.nPoints = 1;
    c.channels = {0, 1, 2};
    c.scale = {1, 1, 1};
    c.stride = 1;
    c.srcEnd = 1;
    c.destEnd = 1;
    // 0x800000, 0x7FFFFF and 0xFFFFFF, after a five-byte header.
    std::vector<unsigned char> bytes = {'h', 'e', 'a', 'd', 0};
    const unsigned char le[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF};
    for (int s = 0; s < 3; ++s)
      for (int i = 0; i < 3; ++i) bytes.push_back(le[s * 3 + (big ? 2 - i : i)]);
    eegtest::TempFile file(bytes);
    std::vector<double> got(3, 0.0);
    ASSERT_EQ(coretest::readWith(file.path(), coretest::planFor(c, got)).status, eeg::ReadStatus::ok);
    EXPECT_EQ(got, (std::vector<double>{-8388608.0, 8388607.0, -1.0}))
        << (big ? "big" : "little") << "-endian";
  }
}

TEST(CoreLayouts, WithoutAFilterAnOffsetGivesExactlyScaleTimesSamplePlusOffset) {
  std::mt19937_64 rng(4);
  Case c;
  c.nChans = 4;
  c.binaryFormat = 4;
  c.recordSamples = {8, 2, 8, 8};
  c.channels = {3, 0};
  c.scale = {0.03125, 7, 1e-3, 0.1};
  c.offset = {-3276.8, 0, 5, 12.5};
  c.nPoints = 8 * 5;
  c.stride = c.nPoints;
  c.srcEnd = c.stride;
  c.destEnd = c.stride;
  const std::vector<double> samples = coretest::randomSamples(rng, 4, size_t(26 * 5));
  eegtest::TempFile file(coretest::encode(samples, 4, false));
  std::vector<double> got(size_t(c.stride) * 2, 0.0);
  ASSERT_EQ(coretest::readWith(file.path(), coretest::planFor(c, got)).status, eeg::ReadStatus::ok);
  for (int64_t f = 0; f < c.nPoints; ++f) {
    const size_t record = size_t(f / 8) * 26, i = size_t(f % 8);
    EXPECT_EQ(got[size_t(f)], samples[record + 18 + i] * 0.1 + 12.5) << "frame " << f;
    EXPECT_EQ(got[size_t(f + c.stride)], samples[record + i] * 0.03125 + -3276.8) << "frame " << f;
  }
}

TEST(CoreLayouts, ARecordFileGrownInPiecesReadsOnlineAsAFullReadAfterEveryPiece) {
  std::mt19937_64 rng(2026);
  for (int trial = 0; trial < 6; ++trial) {
    Recording r = randomRecording(rng, true);
    Case c = r.c;
    const size_t header = size_t(c.dataOffset);
    int64_t unitBytes = 0;
    for (int32_t n : c.recordSamples) unitBytes += n * coretest::bytesPerSample(c.binaryFormat);
    eegtest::TempFile file(std::vector<unsigned char>(r.file.begin(), r.file.begin() + long(header)));
    eeg::StreamCache cache;
    size_t written = header;
    int resumed = 0;
    while (written < r.file.size()) {
      const size_t piece =
          std::min(r.file.size() - written, size_t(1 + rng() % size_t(unitBytes + unitBytes / 2)));
      std::FILE* f = std::fopen(file.path().c_str(), "r+b");
      ASSERT_TRUE(f && std::fseek(f, long(written), SEEK_SET) == 0);
      ASSERT_EQ(std::fwrite(r.file.data() + written, 1, piece, f), piece);
      written += piece;
      if (header > 0) {  // the writer updates a count in its header as it goes
        ASSERT_EQ(std::fseek(f, 0, SEEK_SET), 0);
        std::fputc(int(written & 0xFF), f);
      }
      std::fclose(f);
      std::vector<unsigned char> now(written);
      f = std::fopen(file.path().c_str(), "rb");
      ASSERT_EQ(std::fread(now.data(), 1, written, f), written);
      const int64_t units = int64_t(written - header) / unitBytes;
      const int64_t perRecord = c.recordSamples[size_t(c.channels[0])];
      c.nPoints = units * perRecord;  // a call without HDR.nPoints, or now and then one that ends in a record
      if (rng() % 3 == 0) c.nPoints = std::max<int64_t>(0, c.nPoints - int64_t(rng() % uint64_t(perRecord)));
      c.stride = 30;
      c.destStart = 0;
      c.destEnd = 29;
      c.srcStart = std::max<int64_t>(0, c.nPoints / c.decimationFactor - 30);  // the newest 30 outputs
      c.srcEnd = c.srcStart + 29;
      const std::vector<double> want =
          coretest::referenceRead(c, now, std::vector<double>(30 * c.channels.size(), -1));
      std::vector<double> got(30 * c.channels.size(), -1);
      eeg::OnlineReport report;
      const eeg::ReadOutcome out =
          eeg::readOnline(cache, f, coretest::planFor(c, got), eeg::nameDigest(file.path().c_str()), report);
      std::fclose(f);
      ASSERT_EQ(out.status, eeg::ReadStatus::ok);
      ASSERT_TRUE(coretest::sameMatrix(want, got)) << "trial " << trial << " at " << written << " bytes";
      if (report.resumedFrames > 0) ++resumed;
    }
    EXPECT_GT(resumed, 0) << "trial " << trial << ": no read went on from an earlier one";
  }
}

// A target whose rows and columns lie with steps of their own (a numpy array in C order, a slice of
// a wider one, a reversed view) gets the values a column-major one gets, from a read and from a read
// that goes on, and nothing between its elements is written.
TEST(CoreLayouts, ATargetWithRowAndColumnStepsGetsTheColumnMajorValues) {
  std::mt19937_64 rng(77);
  for (int trial = 0; trial < 40; ++trial) {
    Recording r = randomRecording(rng, trial % 2 == 1);
    const Case& c = r.c;
    eegtest::TempFile file(r.file);
    const int64_t rows = c.stride, cols = int64_t(c.channels.size());
    std::vector<double> want(size_t(rows * cols), -7.0);
    ASSERT_EQ(coretest::readWith(file.path(), coretest::planFor(c, want)).status, eeg::ReadStatus::ok);
    const int64_t pad = trial % 3;  // elements between consecutive rows' last and first columns
    const bool reversed = trial % 4 == 3;
    const int64_t rowStep = cols + pad;
    for (bool online : {false, true}) {
      std::vector<double> storage(size_t(rows * rowStep), -7.0), dummy;
      eeg::ReadPlan plan = coretest::planFor(c, dummy);
      // Row-major; reversed: the last row and last column first, with negative steps.
      plan.target = reversed ? storage.data() + (rows * rowStep - 1 - pad) : storage.data();
      plan.rowStep = reversed ? -rowStep : rowStep;
      plan.columnStep = reversed ? -1 : 1;
      eeg::ReadOutcome out;
      if (online) {
        eeg::StreamCache cache;
        eeg::OnlineReport report;
        std::FILE* f = std::fopen(file.path().c_str(), "rb");
        ASSERT_TRUE(f);
        out = eeg::readOnline(cache, f, plan, eeg::nameDigest(file.path().c_str()), report);
        if (out.status == eeg::ReadStatus::ok) {  // again: now the kept sums are placed
          std::fill(storage.begin(), storage.end(), -7.0);
          out = eeg::readOnline(cache, f, plan, eeg::nameDigest(file.path().c_str()), report);
        }
        std::fclose(f);
      } else {
        out = coretest::readWith(file.path(), plan);
      }
      ASSERT_EQ(out.status, eeg::ReadStatus::ok) << "trial " << trial;
      for (int64_t i = 0; i < rows; ++i)
        for (int64_t k = 0; k < cols; ++k) {
          const double got = plan.target[i * plan.rowStep + k * plan.columnStep];
          ASSERT_EQ(std::memcmp(&got, &want[size_t(i + k * rows)], sizeof got), 0)
              << "trial " << trial << (online ? " online" : "") << " row " << i << " column " << k;
        }
      for (int64_t i = 0; i < rows; ++i)  // the padding between rows is never written
        for (int64_t e = cols; e < rowStep; ++e) ASSERT_EQ(storage[size_t(i * rowStep + e)], -7.0);
    }
  }
}

}  // namespace
