// Limits of the read: a recording past 2 GiB (a sparse file), running out of memory, and storage that
// does not follow numbers no file backs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "core_reference.h"

namespace {

// A sparse file of 1024 int16 channels holding frames past the 2 GiB mark, a few of them non-zero,
// plus a partial trailing frame. Every frame is found, the non-zero ones land in their rows, and the
// frame count is a 64-bit number.
TEST(CoreLimits, RecordingsLargerThanTwoGibibytes) {
  const int nChans = 1024;
  const int64_t frameBytes = nChans * 2;
  const int64_t frames = (int64_t(1) << 31) / frameBytes + 40;
  char name[] = "/tmp/eegfetch_core_large_XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  struct Remover {
    const char* path;
    ~Remover() { std::remove(path); }
  } remover{name};
  ASSERT_EQ(ftruncate(fd, off_t(frames * frameBytes + 100)), 0);
  // frame -> (channel 5, channel 1000) values
  const int64_t marked[] = {3, frames / 2, (int64_t(1) << 31) / frameBytes + 1, frames - 1};
  for (int64_t f : marked) {
    const int16_t a = static_cast<int16_t>(f % 30000 + 1), b = -7;
    ASSERT_EQ(pwrite(fd, &a, 2, off_t(f * frameBytes + 5 * 2)), 2);
    ASSERT_EQ(pwrite(fd, &b, 2, off_t(f * frameBytes + 1000 * 2)), 2);
  }
  close(fd);

  // Factor 2 with mean weights: a marked frame shows as half its value in its block's row.
  std::vector<int32_t> channels{1000, 5};
  std::vector<double> scale(nChans, 2.0), weights{0.5, 0.5};
  const int64_t nOut = frames / 2;
  std::vector<double> target(std::size_t(nOut) * 2, -1.0);
  eeg::ReadPlan plan;
  plan.nChans = nChans;
  plan.binaryFormat = 1;
  plan.nPoints = frames + 5;  // asks for more than the file holds
  plan.decimationFactor = 2;
  plan.weights = weights.data();
  plan.channels = channels.data();
  plan.nSel = 2;
  plan.scale = scale.data();
  plan.target = target.data();
  plan.stride = nOut;
  plan.columnStep = plan.stride;  // column-major
  plan.destEnd = nOut;
  plan.srcEnd = nOut;
  const auto out = coretest::readWith(name, plan);
  ASSERT_EQ(out.status, eeg::ReadStatus::ok);
  EXPECT_EQ(out.framesRead, frames);
  EXPECT_EQ(out.blocks, nOut);
  int64_t nonZero = 0;
  for (int64_t r = 0; r < nOut; ++r) nonZero += (target[r] != 0.0) + (target[nOut + r] != 0.0);
  EXPECT_EQ(nonZero, 8);
  for (int64_t f : marked) {
    EXPECT_EQ(target[f / 2], -7.0) << f;
    EXPECT_EQ(target[nOut + f / 2], double(f % 30000 + 1)) << f;
  }
}

// Reads `bytes` with `plan` in a process whose address space is capped at 1 GiB (call it in a child),
// into a target of 4 cells that start at 3.0. Exit code 0 when the outcome matches.
int readUnderCap(const std::vector<unsigned char>& bytes, eeg::ReadPlan plan, eeg::ReadStatus status,
                 int64_t framesRead) {
  coretest::TempFile file(bytes);
  std::vector<double> scale(plan.nChans, 1.0), target(4, 3.0);
  std::vector<int32_t> channels{0, plan.nChans - 1};
  plan.channels = channels.data();
  plan.nSel = 2;
  plan.scale = scale.data();
  plan.target = target.data();
  plan.stride = 2;
  plan.columnStep = plan.stride;  // column-major
  plan.destEnd = 2;
  plan.srcEnd = 2;
  struct rlimit limit = {rlim_t(1) << 30, rlim_t(1) << 30};
  setrlimit(RLIMIT_AS, &limit);
  FILE* f = std::fopen(file.path().c_str(), "rb");
  const auto out = eeg::readRecording(f, plan);
  std::fclose(f);
  const bool asExpected = out.status == status && out.framesRead == framesRead && out.blocks == 0;
  return asExpected && target == std::vector<double>(4, 3.0) ? 0 : 1;
}

// With too little address space for the working storage, the read reports outOfMemory and writes
// nothing.
int readWithLittleMemory() {
  eeg::ReadPlan plan;
  plan.nChans = 300 * 1000 * 1000;  // a frame of 1.2 GB: a chunk buffer alone passes the cap
  plan.binaryFormat = 3;
  plan.nPoints = 1;
  return readUnderCap(std::vector<unsigned char>(64 * 4, 1), plan, eeg::ReadStatus::outOfMemory, 0);
}

TEST(CoreLimits, AllocationFailureIsReported) {
  EXPECT_EXIT(std::exit(readWithLittleMemory()), ::testing::ExitedWithCode(0), "");
}

// Working storage is sized by the file and the window, never by a number that no file backs: the
// default weights of a factor of two billion (16 GB, were they stored) take no room, so the read
// succeeds under the same cap. No block completes, so nothing is written.
int readWithHugeFactor() {
  eeg::ReadPlan plan;
  plan.nChans = 3;
  plan.binaryFormat = 1;
  plan.nPoints = 100;
  plan.decimationFactor = 2000000000;
  return readUnderCap(std::vector<unsigned char>(100 * 3 * 2, 7), plan, eeg::ReadStatus::ok, 100);
}

// (Named so that the sanitizer runs, which cannot cap the address space, leave it out.)
TEST(CoreLimits, NoAllocationFailureIsReportedForAHugeFactor) {
  EXPECT_EXIT(std::exit(readWithHugeFactor()), ::testing::ExitedWithCode(0), "");
}

}  // namespace
