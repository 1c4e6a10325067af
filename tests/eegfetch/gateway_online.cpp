// Reading a growing recording again and again with OPT.resume, through the embedded host: every
// resumed call writes exactly what the same call without OPT.resume writes, bit for bit, after
// every step of growth and after every change that must make the module read from byte 0.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "gateway_support.h"

namespace {

using mexhost::Array;
using mexhost::charArray;
using mexhost::rowVector;
using mexhost::scalar;

// A file that only grows, by whatever bytes are appended.
class GrowingFile {
 public:
  GrowingFile() {
    char pattern[] = "/tmp/eegfetch_online_XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) std::abort();
    close(fd);
    path_ = pattern;
  }
  ~GrowingFile() { std::remove(path_.c_str()); }
  void append(const uint8_t* bytes, size_t n) {
    std::FILE* f = std::fopen(path_.c_str(), "ab");
    if (!f || std::fwrite(bytes, 1, n, f) != n) std::abort();
    std::fclose(f);
    size_ += n;
  }
  const std::string& path() const { return path_; }
  size_t size() const { return size_; }

 private:
  std::string path_;
  size_t size_ = 0;
};

// The settings of one stream, drawn at random.
struct Settings {
  int nChans = 1, format = 1, factor = 1;
  bool bigEndian = false;
  std::vector<double> b{1.0}, a{1.0}, weights, chanidx, scale;
  int frameBytes() const { return nChans * (format == 1 ? 2 : 4); }
};

Settings randomSettings(std::mt19937& rng) {
  Settings s;
  s.nChans = std::uniform_int_distribution<int>(1, 9)(rng);
  s.format = std::uniform_int_distribution<int>(1, 3)(rng);
  s.bigEndian = rng() % 2 == 1;
  s.factor = std::uniform_int_distribution<int>(1, 50)(rng);
  const int L = std::uniform_int_distribution<int>(1, 12)(rng);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  s.b.clear();
  s.a = {1.0};
  for (int i = 0; i < L; ++i) s.b.push_back(u(rng));
  for (int i = 1; i < L; ++i) s.a.push_back(0.4 * u(rng) / L);  // small enough to stay stable
  if (rng() % 2)
    for (int i = 0; i < s.factor; ++i) s.weights.push_back(u(rng));
  const int nSel = std::uniform_int_distribution<int>(1, 6)(rng);
  for (int k = 0; k < nSel; ++k) s.chanidx.push_back(std::uniform_int_distribution<int>(1, s.nChans)(rng));
  for (int c = 0; c < s.nChans; ++c) s.scale.push_back(u(rng) * 100);
  return s;
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
  std::vector<uint8_t> v(n);
  for (uint8_t& x : v) x = static_cast<uint8_t>(rng() >> 7);
  return v;
}

// One call's structs, kept so that OPT.data can be read back.
struct OnlineCall {
  Array name, hdr = mexhost::structArray(), opt = mexhost::structArray();
  OnlineCall(const std::string& path, const Settings& s, const std::vector<double>& data, size_t rows,
             const std::vector<double>& dataPos, bool resume)
      : name(charArray(path)) {
    mexhost::setField(hdr.get(), "fs", scalar(1000.0 * s.factor));
    mexhost::setField(hdr.get(), "nChans", scalar(s.nChans));
    mexhost::setField(hdr.get(), "BinaryFormat", scalar(s.format));
    mexhost::setField(hdr.get(), "scale", rowVector(s.scale));
    mexhost::setField(hdr.get(), "endian", charArray(s.bigEndian ? "b" : "l"));
    mexhost::setField(opt.get(), "chanidx", rowVector(s.chanidx));
    mexhost::setField(opt.get(), "fs", scalar(1000));
    mexhost::setField(opt.get(), "filt_b", rowVector(s.b));
    mexhost::setField(opt.get(), "filt_a", rowVector(s.a));
    if (!s.weights.empty()) mexhost::setField(opt.get(), "filt_subsample", rowVector(s.weights));
    mexhost::setField(opt.get(), "data", mexhost::doubleMatrix(rows, s.chanidx.size(), data));
    mexhost::setField(opt.get(), "dataPos", rowVector(dataPos));
    if (resume) mexhost::setField(opt.get(), "resume", scalar(1));
  }
  mexhost::CallResult run() { return gwtest::module().call(0, {name.get(), hdr.get(), opt.get()}); }
  std::vector<double> data() const { return mexhost::values(mxGetField(opt.get(), 0, "data")); }
};

bool sameBits(const std::vector<double>& x, const std::vector<double>& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(double)) == 0;
}

// Calls once with OPT.resume and once without on copies of the same OPT.data, and requires the same
// message, warnings and bits. Returns what the resumed call left in OPT.data.
std::vector<double> expectSameAsFullRead(const std::string& path, const Settings& s,
                                         const std::vector<double>& data, size_t rows,
                                         const std::vector<double>& dataPos, const std::string& what) {
  OnlineCall resumed(path, s, data, rows, dataPos, true), full(path, s, data, rows, dataPos, false);
  mexhost::CallResult r = resumed.run(), f = full.run();
  EXPECT_EQ(r.failed, f.failed) << what;
  EXPECT_EQ(r.message, f.message) << what;
  EXPECT_EQ(r.warnings, f.warnings) << what;
  std::vector<double> got = resumed.data();
  EXPECT_TRUE(sameBits(got, full.data())) << what;
  return got;
}

// Appended bytes in steps of every kind: a frame, part of a frame, up to a block boundary exactly,
// up to the middle of a block, many chunks at once.
size_t randomStep(std::mt19937& rng, const Settings& s, size_t size) {
  const size_t fb = static_cast<size_t>(s.frameBytes()), block = fb * static_cast<size_t>(s.factor);
  switch (rng() % 6) {
    case 0: return fb;
    case 1: return std::uniform_int_distribution<size_t>(1, fb)(rng);
    case 2: return block - size % block + block * (rng() % 3);
    case 3: return block / 2 + 1;
    case 4: return std::uniform_int_distribution<size_t>(1, 40 * block)(rng);
    default: return std::uniform_int_distribution<size_t>(1, 5u << 20)(rng);  // past two reads' worth
  }
}

TEST(GatewayOnline, GrowthInRandomStepsGivesWhatAFullReadGivesAfterEveryStep) {
  std::mt19937 rng(20261208);
  for (int stream = 0; stream < 6; ++stream) {
    Settings s = randomSettings(rng);
    GrowingFile file;
    const size_t window = std::uniform_int_distribution<size_t>(1, 300)(rng);
    const size_t cols = s.chanidx.size(), capacity = 4000;
    std::vector<double> appended(capacity * cols, -1.0), sliding(window * cols, -2.0);
    double nextNew = 0;
    for (int step = 0; step < 24 && file.size() < (12u << 20); ++step) {
      const size_t n = randomStep(rng, s, file.size());
      std::vector<uint8_t> bytes = randomBytes(rng, n);
      if (s.format == 3)  // keep floats finite, so that no NaN hides a difference
        for (size_t i = (s.bigEndian ? 0 : 3); i < bytes.size(); i += 4) bytes[i] &= 0x3F;
      file.append(bytes.data(), bytes.size());
      const double nOut = static_cast<double>(file.size() / static_cast<size_t>(s.frameBytes()) / s.factor);
      const std::string what = "stream " + std::to_string(stream) + " step " + std::to_string(step);
      // Appending: the outputs new since the last call, each in the row of its own index.
      appended = expectSameAsFullRead(file.path(), s, appended, capacity,
                                      {nextNew, capacity - 1.0, nextNew, -1}, what + " (appending)");
      nextNew = nOut;
      // Sliding: the newest `window` outputs.
      sliding = expectSameAsFullRead(file.path(), s, sliding, window,
                                     {0, window - 1.0, nOut - window, nOut - 1}, what + " (sliding)");
    }
  }
}

// What the module must notice between two calls: each is still exact.
TEST(GatewayOnline, EveryChangeBetweenCallsIsStillExact) {
  std::mt19937 rng(99);
  Settings s = randomSettings(rng);
  s.factor = 4;
  s.weights.clear();
  s.b = {0.3, 0.2, 0.1};    // a filter with a state, so that a wrong state shows
  s.a = {1.0, -1.8, 0.81};  // a double pole at 0.9: the state of the past fades slowly
  const size_t cols = s.chanidx.size(), rows = 64;
  const size_t fb = static_cast<size_t>(s.frameBytes());
  GrowingFile file;
  std::vector<uint8_t> first = randomBytes(rng, fb * 4000);
  file.append(first.data(), first.size());
  std::vector<double> data(rows * cols, 0.0);
  auto sliding = [&](double nOut) { return std::vector<double>{0, rows - 1.0, nOut - rows, nOut - 1}; };
  const double nOut = 1000;
  data = expectSameAsFullRead(file.path(), s, data, rows, sliding(nOut), "first call");

  // Another file behind the same name, with the same length and the same first bytes.
  {
    std::vector<uint8_t> other = first;
    for (size_t i = first.size() / 2; i < first.size(); ++i) other[i] ^= 0x55;
    const std::string tmp = file.path() + ".new";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    ASSERT_TRUE(f && std::fwrite(other.data(), 1, other.size(), f) == other.size());
    std::fclose(f);
    ASSERT_EQ(std::rename(tmp.c_str(), file.path().c_str()), 0);
    data = expectSameAsFullRead(file.path(), s, data, rows, sliding(nOut), "replaced file");
  }
  // Truncated and written again with other bytes, longer than before.
  {
    std::vector<uint8_t> again = randomBytes(rng, fb * 5000);
    std::FILE* f = std::fopen(file.path().c_str(), "r+b");
    ASSERT_TRUE(f && std::fwrite(again.data(), 1, again.size(), f) == again.size());
    std::fclose(f);
    // The window starts where the earlier call stopped, so a state carried over would show.
    data =
        expectSameAsFullRead(file.path(), s, data, rows, {0, rows - 1.0, nOut, nOut + rows - 1}, "rewritten");
  }
  // The same file with other settings, then the old ones again.
  {
    Settings t = s;
    t.b[0] += 1.0;
    std::vector<double> other(rows * cols, 0.0);
    expectSameAsFullRead(file.path(), t, other, rows, sliding(1250), "other coefficients");
    t = s;
    t.chanidx.push_back(1);
    std::vector<double> wider(rows * t.chanidx.size(), 0.0);
    expectSameAsFullRead(file.path(), t, wider, rows, sliding(1250), "other selection");
    t = s;
    t.scale[0] = -t.scale[0];  // scale is not state: this may go on, and must still be exact
    expectSameAsFullRead(file.path(), t, data, rows, sliding(1250), "other scale");
    data = expectSameAsFullRead(file.path(), s, data, rows, sliding(1250), "first settings again");
  }
  // A window reaching back past the outputs kept, then a much larger one.
  data = expectSameAsFullRead(file.path(), s, data, rows, {0, rows - 1.0, 0, -1}, "window at the start");
  std::vector<double> big(1250 * cols, 0.0);
  expectSameAsFullRead(file.path(), s, big, 1250, {0, 1249, 0, 1249}, "window of every output");
  // HDR.nPoints ending before the point the stream reached.
  {
    OnlineCall resumed(file.path(), s, data, rows, sliding(1000), true),
        full(file.path(), s, data, rows, sliding(1000), false);
    mexhost::setField(resumed.hdr.get(), "nPoints", scalar(4000));
    mexhost::setField(full.hdr.get(), "nPoints", scalar(4000));
    mexhost::CallResult r = resumed.run(), f = full.run();
    EXPECT_FALSE(r.failed || f.failed);
    EXPECT_TRUE(sameBits(resumed.data(), full.data())) << "nPoints before the point";
  }
  // The module cleared between calls: a second handle on the same loaded image runs its unload
  // handler as `clear eegfetch` does.
  {
    mexhost::Module same(EEGFETCH_MODULE);
    same.unload();
  }
  expectSameAsFullRead(file.path(), s, data, rows, sliding(1250), "after clear");
}

// A writer in another process appends at its own pace while the reader calls again and again; each
// call places exactly the outputs a full read of the finished file has at those indices.
TEST(GatewayOnline, AWriterAppendingInAnotherProcessNeverMakesARowWrong) {
  std::mt19937 rng(5);
  Settings s = randomSettings(rng);
  const size_t fb = static_cast<size_t>(s.frameBytes()), cols = s.chanidx.size(), rows = 50;
  GrowingFile file;
  std::vector<uint8_t> all = randomBytes(rng, fb * s.factor * 20000 + 7);
  if (s.format == 3)
    for (size_t i = (s.bigEndian ? 0 : 3); i < all.size(); i += 4) all[i] &= 0x3F;
  pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    std::FILE* f = std::fopen(file.path().c_str(), "ab");
    for (size_t done = 0; done < all.size();) {
      const size_t n = std::min(all.size() - done, size_t(1 + (done * 7919) % (fb * s.factor * 97)));
      std::fwrite(all.data() + done, 1, n, f);
      std::fflush(f);
      done += n;
      usleep(200);
    }
    std::fclose(f);
    _exit(0);
  }
  std::vector<std::vector<double>> seen;
  std::vector<double> nOuts;
  for (;;) {
    const bool finished = waitpid(writer, nullptr, WNOHANG) == writer;
    struct stat st;
    ASSERT_EQ(stat(file.path().c_str(), &st), 0);
    const double nOut = static_cast<double>(size_t(st.st_size) / fb / s.factor);
    OnlineCall call(file.path(), s, std::vector<double>(rows * cols, NAN), rows,
                    {0, rows - 1.0, nOut - rows, nOut - 1}, true);
    mexhost::CallResult r = call.run();
    ASSERT_FALSE(r.failed) << r.message;
    seen.push_back(call.data());
    nOuts.push_back(nOut);
    if (finished) break;
  }
  EXPECT_GT(seen.size(), 3u);
  OnlineCall full(file.path(), s, std::vector<double>(20000 * cols, 0.0), 20000, {0, 19999, 0, -1}, false);
  ASSERT_FALSE(full.run().failed);
  const std::vector<double> want = full.data();
  for (size_t c = 0; c < seen.size(); ++c)
    for (size_t r = 0; r < rows; ++r) {
      const double index = nOuts[c] - rows + r;
      for (size_t k = 0; k < cols; ++k) {
        const double got = seen[c][r + k * rows];
        if (index < 0) {
          EXPECT_TRUE(std::isnan(got));
        } else {
          ASSERT_EQ(std::memcmp(&got, &want[size_t(index) + k * 20000], sizeof got), 0)
              << "call " << c << " output " << index << " column " << k;
        }
      }
    }
}

}  // namespace

namespace {

// The second output of a resumed call.
struct Info {
  double frames = -1, outputs = -1, resumedFrames = -1;
  std::string fullReadReason = "(unset)";
};

Info resumedInfo(const std::string& path, const Settings& s, size_t rows,
                 const std::vector<double>& dataPos) {
  OnlineCall call(path, s, std::vector<double>(rows * s.chanidx.size(), 0.0), rows, dataPos, true);
  mexhost::CallResult r = gwtest::module().call(2, {call.name.get(), call.hdr.get(), call.opt.get()});
  Info info;
  EXPECT_FALSE(r.failed) << r.message;
  if (r.failed || r.results.size() < 2 || !r.results[1]) return info;
  const mxArray* st = r.results[1].get();
  info.frames = mexhost::values(mxGetField(st, 0, "frames")).at(0);
  info.outputs = mexhost::values(mxGetField(st, 0, "outputs")).at(0);
  info.resumedFrames = mexhost::values(mxGetField(st, 0, "resumedFrames")).at(0);
  char text[64] = "";
  mxGetString(mxGetField(st, 0, "fullReadReason"), text, sizeof text);
  info.fullReadReason = text;
  return info;
}

Settings plainSettings(int nChans, int format, int factor) {
  Settings s;
  s.nChans = nChans;
  s.format = format;
  s.factor = factor;
  s.b = {0.3, 0.2, 0.1};
  s.a = {1.0, -1.8, 0.81};
  s.chanidx = {1.0, double(nChans)};
  s.scale.assign(size_t(nChans), 0.5);
  return s;
}

// What `info` says of each call: it resumed exactly when it could, and why not otherwise.
TEST(GatewayOnline, InfoSaysWhetherACallResumedAndWhyNot) {
  std::mt19937 rng(7);
  {
    mexhost::Module same(EEGFETCH_MODULE);
    same.unload();  // no streams of files whose inode a new file may reuse
  }
  Settings s = plainSettings(6, 2, 4);
  const size_t fb = size_t(s.frameBytes());
  GrowingFile file;
  std::vector<uint8_t> bytes = randomBytes(rng, fb * 1001 + 3);  // 1001 frames and a partial one
  file.append(bytes.data(), bytes.size());
  const std::vector<double> newest = {0, 9, 240, 249};
  Info i = resumedInfo(file.path(), s, 10, newest);
  EXPECT_EQ(i.fullReadReason, "no stream yet");
  EXPECT_EQ(i.frames, 1001);
  EXPECT_EQ(i.outputs, 250);
  EXPECT_EQ(i.resumedFrames, 0);

  bytes = randomBytes(rng, fb * 20);
  file.append(bytes.data(), bytes.size());
  i = resumedInfo(file.path(), s, 10, {0, 9, 245, 254});
  EXPECT_EQ(i.fullReadReason, "");
  EXPECT_EQ(i.resumedFrames, 1001);  // every whole frame read before, the partial block included
  EXPECT_EQ(i.frames, 1021);
  EXPECT_EQ(i.outputs, 255);

  Settings other = s;
  other.b[0] = 0.4;
  EXPECT_EQ(resumedInfo(file.path(), other, 10, {0, 9, 245, 254}).fullReadReason, "other settings");
  EXPECT_EQ(resumedInfo(file.path(), s, 10, {0, 9, 0, 9}).fullReadReason, "window older than kept");
  {
    OnlineCall call(file.path(), s, std::vector<double>(20, 0.0), 10, {0, 9, 200, 209}, true);
    mexhost::setField(call.hdr.get(), "nPoints", scalar(900));
    mexhost::CallResult r = gwtest::module().call(2, {call.name.get(), call.hdr.get(), call.opt.get()});
    ASSERT_FALSE(r.failed);
    char text[64] = "";
    mxGetString(mxGetField(r.results[1].get(), 0, "fullReadReason"), text, sizeof text);
    EXPECT_STREQ(text, "nPoints before the point");
  }
  resumedInfo(file.path(), s, 10, {0, 9, 245, 254});
  {  // a byte of the last block before the point changes
    std::FILE* f = std::fopen(file.path().c_str(), "r+b");
    ASSERT_TRUE(f && std::fseek(f, long(fb * 1019), SEEK_SET) == 0);
    std::fputc(bytes[fb * 18] ^ 0x40, f);
    std::fclose(f);
  }
  EXPECT_EQ(resumedInfo(file.path(), s, 10, {0, 9, 245, 254}).fullReadReason, "changed bytes");
  {  // another file under the name
    const std::string tmp = file.path() + ".new";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    std::vector<uint8_t> fresh = randomBytes(rng, fb * 1100);
    ASSERT_TRUE(f && std::fwrite(fresh.data(), 1, fresh.size(), f) == fresh.size());
    std::fclose(f);
    ASSERT_EQ(std::rename(tmp.c_str(), file.path().c_str()), 0);
  }
  EXPECT_EQ(resumedInfo(file.path(), s, 10, {0, 9, 265, 274}).fullReadReason, "another file");
  {
    std::FILE* f = std::fopen(file.path().c_str(), "r+b");
    ASSERT_EQ(ftruncate(fileno(f), long(fb * 1050)), 0);
    std::fclose(f);
  }
  EXPECT_EQ(resumedInfo(file.path(), s, 10, {0, 9, 252, 261}).fullReadReason, "shorter");

  // Without OPT.resume, and with it but without OPT.data.
  OnlineCall plain(file.path(), s, std::vector<double>(20, 0.0), 10, {0, 9, 0, 9}, false);
  mexhost::CallResult r = gwtest::module().call(2, {plain.name.get(), plain.hdr.get(), plain.opt.get()});
  ASSERT_FALSE(r.failed);
  char text[64] = "x";
  mxGetString(mxGetField(r.results[1].get(), 0, "fullReadReason"), text, sizeof text);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(mexhost::values(mxGetField(r.results[1].get(), 0, "resumedFrames")).at(0), 0);
}

// A rewrite of the last whole block before the point is noticed even when a block is longer than the
// bytes hashed at the start: 33 float channels decimated by 50 make blocks of 6,600 bytes.
TEST(GatewayOnline, ARewriteOfTheLastWholeBlockBeforeThePointIsNoticed) {
  std::mt19937 rng(33);
  Settings s = plainSettings(33, 3, 50);
  const size_t fb = size_t(s.frameBytes()), block = fb * 50;
  GrowingFile file;
  std::vector<uint8_t> bytes = randomBytes(rng, block * 40 + fb * 10);
  for (size_t i = 3; i < bytes.size(); i += 4) bytes[i] &= 0x3F;  // finite floats
  file.append(bytes.data(), bytes.size());
  std::vector<double> data(20 * 2, 0.0);
  data = expectSameAsFullRead(file.path(), s, data, 20, {0, 19, 20, 39}, "first");
  {
    std::FILE* f = std::fopen(file.path().c_str(), "r+b");
    ASSERT_TRUE(f && std::fseek(f, long(block * 38 + 100), SEEK_SET) == 0);  // 6,000 bytes before the point
    std::fputc(0x3F, f);
    std::fclose(f);
  }
  expectSameAsFullRead(file.path(), s, data, 20, {0, 19, 20, 39}, "last whole block rewritten");
}

// The cache keeps the eight most recently used streams: a ninth drops the least recently used one,
// not a stream that was just claimed.
TEST(GatewayOnline, TheCacheDropsTheLeastRecentlyUsedStream) {
  std::mt19937 rng(8);
  {
    mexhost::Module same(EEGFETCH_MODULE);
    same.unload();  // start with no streams
  }
  Settings s = plainSettings(4, 1, 2);
  std::vector<GrowingFile> files(10);
  for (GrowingFile& f : files) {
    std::vector<uint8_t> bytes = randomBytes(rng, size_t(s.frameBytes()) * 400);
    f.append(bytes.data(), bytes.size());
  }
  const std::vector<double> pos = {0, 9, 190, 199};
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(resumedInfo(files[k].path(), s, 10, pos).fullReadReason, "no stream yet");
  EXPECT_EQ(resumedInfo(files[0].path(), s, 10, pos).fullReadReason, "");               // 0 is now the newest
  EXPECT_EQ(resumedInfo(files[8].path(), s, 10, pos).fullReadReason, "no stream yet");  // drops 1
  EXPECT_EQ(resumedInfo(files[9].path(), s, 10, pos).fullReadReason, "no stream yet");  // drops 2, not 8
  EXPECT_EQ(resumedInfo(files[8].path(), s, 10, pos).fullReadReason, "");
  EXPECT_EQ(resumedInfo(files[0].path(), s, 10, pos).fullReadReason, "");
  EXPECT_EQ(resumedInfo(files[3].path(), s, 10, pos).fullReadReason, "");
  EXPECT_EQ(resumedInfo(files[1].path(), s, 10, pos).fullReadReason, "no stream yet");
}

}  // namespace

namespace {

// OPT.newRows with OPT.sos through the gateway: over a file that grows by random steps (sometimes none,
// sometimes many blocks, with partial frames), the calls' rows together are a whole read's, each
// starting at the output info.firstOutput says, none twice and none skipped.
TEST(GatewayOnline, NewRowsWithSectionsReturnEveryOutputOnce) {
  std::mt19937 rng(31);
  const int nChans = 5, factor = 3;
  const std::vector<double> sos = {0.3, 0.5, -0.2, 0.5,  0.7, 0.0,
                                   1,   1,   1,    -1.1, 0.3, 0.2};  // 2 x 6, by column
  GrowingFile file;
  auto call = [&](bool newRows) {
    Array name = charArray(file.path()), hdr = mexhost::structArray(), opt = mexhost::structArray();
    mexhost::setField(hdr.get(), "fs", scalar(300));
    mexhost::setField(hdr.get(), "nChans", scalar(nChans));
    mexhost::setField(hdr.get(), "BinaryFormat", scalar(2));
    mexhost::setField(hdr.get(), "scale", rowVector({1, 2, 3, 4, 5}));
    mexhost::setField(hdr.get(), "endian", charArray("b"));
    mexhost::setField(opt.get(), "chanidx", rowVector({4, 1}));
    mexhost::setField(opt.get(), "fs", scalar(100));
    mexhost::setField(opt.get(), "sos", mexhost::doubleMatrix(2, 6, sos));
    if (newRows) {
      mexhost::setField(opt.get(), "resume", scalar(1));
      mexhost::setField(opt.get(), "newRows", scalar(1));
    }
    return gwtest::module().call(2, {name.get(), hdr.get(), opt.get()});
  };
  std::vector<std::vector<double>> columns(2);
  size_t written = 0;
  for (int step = 0; step < 40; ++step) {
    const size_t more = std::vector<size_t>{0, 1, 7, 20 * 13 + 3, 901}[rng() % 5];
    const std::vector<uint8_t> bytes = randomBytes(rng, more);
    file.append(bytes.data(), bytes.size());
    written += more;
    mexhost::CallResult r = call(true);
    ASSERT_FALSE(r.failed) << r.message;
    EXPECT_TRUE(r.warnings.empty());
    const size_t outputs = written / (nChans * 4) / factor;
    const std::vector<double> y = mexhost::values(r.results[0].get());
    ASSERT_EQ(mexhost::values(mxGetField(r.results[1].get(), 0, "firstOutput")).at(0), columns[0].size());
    ASSERT_EQ(y.size(), 2 * (outputs - columns[0].size())) << "step " << step;
    for (size_t k = 0; k < 2; ++k)
      columns[k].insert(columns[k].end(), y.begin() + k * y.size() / 2, y.begin() + (k + 1) * y.size() / 2);
  }
  EXPECT_GT(columns[0].size(), 100u);
  mexhost::CallResult whole = call(false);
  ASSERT_FALSE(whole.failed) << whole.message;
  std::vector<double> together = columns[0];
  together.insert(together.end(), columns[1].begin(), columns[1].end());
  EXPECT_TRUE(sameBits(together, mexhost::values(whole.results[0].get())));
}

}  // namespace
