// A data file that ends, is truncated or is removed while eegfetch reads it, and a "file" that
// cannot be read at all: no crash, no invented frame, nothing left open.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

#include "support.h"

// A file whose reads fail part-way: opening a path that ends in ".failing" gives a stream over the
// real file whose reads fail with EIO once kFailAfter bytes have been read. The module's fopen
// comes here (this program exports it); every other open goes to the C library.
constexpr uint64_t kFailAfter = uint64_t(3) << 20;
std::atomic<int> g_failingOpen{0};

struct FailingFile {
  int fd;
  uint64_t delivered;
};

ssize_t failingRead(void* cookie, char* buffer, size_t size) {
  FailingFile* f = static_cast<FailingFile*>(cookie);
  if (f->delivered >= kFailAfter) return errno = EIO, -1;
  if (size > kFailAfter - f->delivered) size = static_cast<size_t>(kFailAfter - f->delivered);
  const ssize_t got = read(f->fd, buffer, size);
  if (got > 0) f->delivered += static_cast<uint64_t>(got);
  return got;
}

int failingSeek(void* cookie, off64_t* position, int whence) {
  FailingFile* f = static_cast<FailingFile*>(cookie);
  const off64_t at = lseek64(f->fd, *position, whence);
  if (at < 0) return -1;
  *position = at;
  f->delivered = static_cast<uint64_t>(at);
  return 0;
}

int failingClose(void* cookie) {
  FailingFile* f = static_cast<FailingFile*>(cookie);
  close(f->fd);
  delete f;
  --g_failingOpen;
  return 0;
}

extern "C" std::FILE* fopen(const char* path, const char* mode) {
  using Open = std::FILE* (*)(const char*, const char*);
  static const Open libcOpen = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "fopen"));
  const std::string name = path ? path : "";
  const std::string suffix = ".failing";
  if (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return libcOpen(path, mode);
  const int fd = open(path, O_RDONLY);
  if (fd < 0) return nullptr;
  cookie_io_functions_t io = {failingRead, nullptr, failingSeek, failingClose};
  std::FILE* stream = fopencookie(new FailingFile{fd, 0}, mode, io);
  if (stream) ++g_failingOpen;
  return stream;
}

namespace {

using mexhost::Array;

std::vector<double> column(const std::vector<double>& m, size_t rows, size_t c) {
  return std::vector<double>(m.begin() + static_cast<long>(c * rows),
                             m.begin() + static_cast<long>((c + 1) * rows));
}

// The stream ends early: a pipe whose writer gives 101 whole frames and half a frame, then
// closes, while HDR.nPoints asks for 400. The 25 complete blocks are those of the full file;
// the rows of the blocks past the end are not written (zero in a new matrix); a warning says so.
TEST(FileFaults, AStreamThatEndsEarlyGivesTheBlocksItHeldAndNothingInvented) {
  rel::TempDir dir;
  const std::string full = dir.file("full.bin"), fifo = dir.file("stream");
  rel::writeRecording(full, 400, 3);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  mexhost::Module m(EEGFETCH_MODULE);
  Array hdr = rel::header(3, 400), opt = rel::options();
  Array fullName = mexhost::charArray(full), fifoName = mexhost::charArray(fifo);
  mexhost::CallResult reference = m.call(1, {fullName.get(), hdr.get(), opt.get()});
  ASSERT_FALSE(reference.failed) << reference.message;
  const std::vector<double> want = mexhost::values(reference.results[0].get());

  std::thread writer([&] {
    std::FILE* src = std::fopen(full.c_str(), "rb");
    std::FILE* dst = std::fopen(fifo.c_str(), "wb");
    std::vector<char> bytes(101 * 6 + 3);
    size_t got = std::fread(bytes.data(), 1, bytes.size(), src);
    std::fwrite(bytes.data(), 1, got, dst);
    std::fclose(dst);
    std::fclose(src);
  });
  const size_t fds = rel::openDescriptors() + 1;  // + the writer's end while it runs
  mexhost::CallResult r = m.call(1, {fifoName.get(), hdr.get(), opt.get()});
  writer.join();
  EXPECT_LE(rel::openDescriptors(), fds - 1);
  ASSERT_FALSE(r.failed) << r.message;
  ASSERT_EQ(r.warnings.size(), 1u);
  const std::vector<double> got = mexhost::values(r.results[0].get());
  ASSERT_EQ(got.size(), want.size());
  for (size_t c = 0; c < 2; ++c) {
    std::vector<double> g = column(got, 100, c), w = column(want, 100, c);
    EXPECT_EQ(std::vector<double>(g.begin(), g.begin() + 25), std::vector<double>(w.begin(), w.begin() + 25));
    EXPECT_EQ(std::vector<double>(g.begin() + 25, g.end()), std::vector<double>(75, 0.0));
  }
}

// Truncated or removed by someone else during the read, at a random moment. Removed: the open
// file still reads in full. Truncated: every row is that of the full file, except a run of
// unwritten (zero) rows at the end; or the call fails with one of its messages.
TEST(FileFaults, AFileTruncatedOrRemovedDuringTheReadNeverGivesWrongRows) {
  rel::TempDir dir;
  const std::string path = dir.file("big.bin");
  const int64_t frames = 600000;
  const int nChans = 3;
  mexhost::Module m(EEGFETCH_MODULE);
  Array name = mexhost::charArray(path), hdr = rel::header(nChans, frames), opt = rel::options();
  rel::writeRecording(path, frames, nChans);
  mexhost::CallResult reference = m.call(1, {name.get(), hdr.get(), opt.get()});
  ASSERT_FALSE(reference.failed) << reference.message;
  const std::vector<double> want = mexhost::values(reference.results[0].get());
  const size_t rows = static_cast<size_t>(frames / 4);

  for (int round = 0; round < 8; ++round) {
    const bool remove = round % 2 == 1;
    rel::writeRecording(path, frames, nChans);
    const size_t fds = rel::openDescriptors(), arrays = mexhost::liveArrays();
    std::thread saboteur([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
      if (remove) {
        std::remove(path.c_str());
      } else {
        EXPECT_EQ(truncate(path.c_str(), 6 * (frames / 3) + 5), 0);
      }
    });
    mexhost::CallResult r = m.call(1, {name.get(), hdr.get(), opt.get()});
    saboteur.join();
    if (r.failed) {
      EXPECT_TRUE(r.message == "Could not open eeg file." || r.message == "Could not read the eeg file.")
          << r.message;
    } else {
      const std::vector<double> got = mexhost::values(r.results[0].get());
      ASSERT_EQ(got.size(), want.size());
      if (remove) {
        EXPECT_EQ(got, want) << "round " << round;
      }
      for (size_t c = 0; c < 2 && !remove; ++c) {
        std::vector<double> g = column(got, rows, c), w = column(want, rows, c);
        size_t same = 0;
        while (same < rows && g[same] == w[same]) ++same;
        for (size_t i = same; i < rows; ++i) ASSERT_EQ(g[i], 0.0) << "round " << round << " row " << i;
        if (same < rows) {
          EXPECT_EQ(r.warnings.size(), 1u);
        }
      }
    }
    r.results.clear();
    EXPECT_EQ(rel::openDescriptors(), fds);
    EXPECT_EQ(mexhost::liveArrays(), arrays);
  }
}

// Reads that fail after the first chunks: the call raises "Could not read the eeg file.", the rows
// of the blocks read before the failure are in OPT.data as a full read gives them, no row after
// them is touched, and the file is closed.
TEST(FileFaults, AReadErrorPartWayLeavesTheRowsReadBeforeItAndClosesTheFile) {
  rel::TempDir dir;
  const int nChans = 3;
  const int64_t frames = 1000000;  // 6 MB: the reads fail half-way
  const std::string path = dir.file("recording.failing"), plain = dir.file("recording.bin");
  rel::writeRecording(plain, frames, nChans);
  ASSERT_EQ(std::rename(plain.c_str(), path.c_str()), 0);
  mexhost::Module m(EEGFETCH_MODULE);
  Array hdr = rel::header(nChans, frames);
  const size_t rows = static_cast<size_t>(frames / 4);

  // The reference: the same bytes through the C library's own stream, in full.
  rel::writeRecording(plain, frames, nChans);
  Array plainName = mexhost::charArray(plain), opt = rel::options();
  mexhost::CallResult reference = m.call(1, {plainName.get(), hdr.get(), opt.get()});
  ASSERT_FALSE(reference.failed) << reference.message;
  const std::vector<double> want = mexhost::values(reference.results[0].get());

  const double untouched = -12345.0;
  Array withData = rel::options();
  mexhost::setField(withData.get(), "data",
                    mexhost::doubleMatrix(rows, 2, std::vector<double>(rows * 2, untouched)));
  Array name = mexhost::charArray(path);
  const size_t fds = rel::openDescriptors(), arrays = mexhost::liveArrays();
  mexhost::CallResult r = m.call(0, {name.get(), hdr.get(), withData.get()});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message, "Could not read the eeg file.");
  EXPECT_EQ(g_failingOpen.load(), 0);
  EXPECT_EQ(rel::openDescriptors(), fds);
  EXPECT_EQ(mexhost::liveArrays(), arrays);

  const std::vector<double> got = mexhost::values(mxGetField(withData.get(), 0, "data"));
  const size_t before = static_cast<size_t>((kFailAfter / (2 * nChans)) / 4);  // blocks wholly read
  for (size_t c = 0; c < 2; ++c) {
    std::vector<double> g = column(got, rows, c), w = column(want, rows, c);
    size_t same = 0;
    while (same < rows && g[same] == w[same] && g[same] != untouched) ++same;
    EXPECT_GT(same, before / 2) << "the rows of the first chunk are placed";
    EXPECT_LE(same, before);
    for (size_t i = same; i < rows; ++i) ASSERT_EQ(g[i], untouched) << "column " << c << " row " << i;
  }
}

// A folder opens for reading but every read fails.
TEST(FileFaults, AnUnreadableFileIsAReadErrorWithNothingLeftOpen) {
  rel::TempDir dir;
  mexhost::Module m(EEGFETCH_MODULE);
  Array name = mexhost::charArray(dir.file("")), opt = rel::options();
  const size_t fds = rel::openDescriptors();
  Array hdr = rel::header(3, 400);
  mexhost::CallResult r = m.call(1, {name.get(), hdr.get(), opt.get()});
  EXPECT_TRUE(r.failed);
  EXPECT_TRUE(r.message == "Could not read the eeg file." || r.message == "Could not open eeg file.")
      << r.message;
  Array noCount = rel::header(3, -1);
  r = m.call(1, {name.get(), noCount.get(), opt.get()});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(rel::openDescriptors(), fds);
}

}  // namespace
