// Every argument check of eegfetch through the embedded host: each message on its own, the
// precedence of every pair of failing checks, and no leaked array, host block or descriptor.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>

#include "gateway_support.h"

namespace {

using gwtest::CallArgs;
using mexhost::Array;
using mexhost::charArray;
using mexhost::doubleMatrix;
using mexhost::rowVector;
using mexhost::scalar;

const gwtest::TempFile& recordingFile() {
  static gwtest::TempFile file([] {
    gwtest::Recording r;
    r.nChans = 4;
    for (int i = 0; i < 40 * 4; ++i) r.samples.push_back((i * 37) % 201 - 100);
    return gwtest::encode(r);
  }());
  return file;
}

// A call that passes every check: 4 channels at 1000 Hz read at 250 Hz into OPT.data.
CallArgs validCall() {
  CallArgs c;
  c.fileName = charArray(recordingFile().path());
  c.hdr["fs"] = scalar(1000);
  c.hdr["nChans"] = scalar(4);
  c.hdr["BinaryFormat"] = scalar(1);
  c.hdr["nPoints"] = scalar(40);
  c.hdr["scale"] = rowVector({1, 2, 3, 4});
  c.hdr["endian"] = charArray("l");
  c.opt["chanidx"] = rowVector({2, 4});
  c.opt["fs"] = scalar(250);
  c.opt["data"] = doubleMatrix(10, 2);
  c.opt["dataPos"] = rowVector({0, 9, 0, -1});
  c.opt["filt_a"] = rowVector({1, -0.5});
  c.opt["filt_b"] = rowVector({0.5, 0.5});
  c.opt["filt_subsample"] = rowVector({0.25, 0.25, 0.25, 0.25});
  return c;
}

struct Case {
  std::string key;  // what the change touches; changes of overlapping keys are not combined
  std::string message;
  std::function<void(CallArgs&)> change;
};

std::function<void(CallArgs&)> setHdr(const char* name, std::function<Array()> value) {
  return [=](CallArgs& c) { c.hdr[name] = value(); };
}
std::function<void(CallArgs&)> setOpt(const char* name, std::function<Array()> value) {
  return [=](CallArgs& c) { c.opt[name] = value(); };
}
std::function<void(CallArgs&)> dropHdr(const char* name) {
  return [=](CallArgs& c) { c.hdr.erase(name); };
}
std::function<void(CallArgs&)> dropOpt(const char* name) {
  return [=](CallArgs& c) { c.opt.erase(name); };
}
// A 1 x n int64 or uint64 row whose elements are set bit for bit (a double could not carry 2^53 + 1).
template <typename T>
Array integerRow(mxClassID cls, const std::vector<T>& values) {
  Array a = mexhost::numeric(cls, 1, values.size());
  std::memcpy(mxGetData(a.get()), values.data(), values.size() * sizeof(T));
  return a;
}
constexpr int64_t kTwoTo53 = int64_t(1) << 53;

Array complexScalar() { return mexhost::complexMatrix(1, 1, {1000}, {1}); }
Array nan() { return scalar(std::nan("")); }

// Every failing check, in the order the checks run.
std::vector<Case> cases() {
  const double big = 2147483648.0;
  return {
      {"call.nrhs", "Exactly three input arguments required.", [](CallArgs& c) { c.nrhs = 2; }},
      {"call.nrhs", "Exactly three input arguments required.", [](CallArgs& c) { c.nrhs = 4; }},
      {"call.nlhs", "One or two output arguments required.", [](CallArgs& c) { c.nlhs = 3; }},
      {"file", "Could not read file name.", [](CallArgs& c) { c.fileName = scalar(1); }},
      {"file", "Could not open eeg file.",
       [](CallArgs& c) { c.fileName = charArray("/nonexistent/eeg.bin"); }},
      {"file", "Could not open eeg file.", [](CallArgs& c) { c.fileName = charArray("/tmp"); }},
      {"HDR", "HDR has to be a struct.", [](CallArgs& c) { c.hdrOverride = scalar(1); }},
      {"HDR.fs", "The field HDR.fs was not set", dropHdr("fs")},
      {"HDR.nChans", "The field HDR.nChans was not set", dropHdr("nChans")},
      {"HDR.BinaryFormat", "The field HDR.BinaryFormat was not set", dropHdr("BinaryFormat")},
      {"HDR.scale", "The field HDR.scale was not set", dropHdr("scale")},
      {"HDR.endian", "The field HDR.endian was not set", dropHdr("endian")},
      {"HDR", "HDR must not be an empty struct array.",
       [](CallArgs& c) { c.hdrOverride = CallArgs::build(c.hdr, 0, 0); }},
      {"HDR.fs", "HDR.fs must be a real scalar.", setHdr("fs", [] { return charArray("x"); })},
      {"HDR.fs", "HDR.fs argument must be real scalar.",
       setHdr("fs",
              [] {
                return rowVector({1000, 1000});
              })},
      {"HDR.fs", "HDR.fs must be a real scalar.", setHdr("fs", complexScalar)},
      {"HDR.fs", "HDR.fs must be a finite number within the signed 32-bit range.", setHdr("fs", nan)},
      {"HDR.fs", "HDR.fs must be a finite number within the signed 32-bit range.",
       setHdr("fs", [=] { return scalar(big); })},
      {"HDR.fs", "HDR.fs must be at least 1.", setHdr("fs", [] { return scalar(0.5); })},
      {"HDR.nChans", "HDR.nChans must be a real scalar.", setHdr("nChans", [] { return charArray("x"); })},
      {"HDR.nChans", "HDR.nChans argument must be real scalar.",
       setHdr("nChans", [] { return doubleMatrix(0, 0); })},
      {"HDR.nChans", "HDR.nChans must be a finite number within the signed 32-bit range.",
       setHdr("nChans", [] { return scalar(-HUGE_VAL); })},
      {"HDR.nChans", "HDR.nChans must be at least 1.", setHdr("nChans", [] { return scalar(0); })},
      {"HDR.BinaryFormat", "HDR.BinaryFormat must be a real scalar.",
       setHdr("BinaryFormat", [] { return charArray("1"); })},
      {"HDR.BinaryFormat", "HDR.BinaryFormat argument must be real scalar.",
       setHdr("BinaryFormat",
              [] {
                return rowVector({1, 2});
              })},
      {"HDR.BinaryFormat", "Unknown Binary Format!", setHdr("BinaryFormat", [] { return scalar(5); })},
      {"HDR.BinaryFormat", "Unknown Binary Format!", setHdr("BinaryFormat", nan)},
      {"HDR.nPoints", "HDR.nPoints must be a real scalar.",
       setHdr("nPoints", [] { return charArray("40"); })},
      {"HDR.nPoints", "HDR.nPoints argument must be real scalar.",
       setHdr("nPoints", [] { return rowVector({}); })},
      {"HDR.nPoints", "HDR.nPoints must be a finite number within the signed 32-bit range.",
       setHdr("nPoints", [=] { return scalar(1e12); })},
      {"HDR.nPoints", "HDR.nPoints must not be negative.", setHdr("nPoints", [] { return scalar(-1); })},
      {"HDR.scale", "HDR.scale must be a real scalar vector.",
       setHdr("scale", [] { return charArray("abcd"); })},
      {"HDR.scale", "HDR.scale has to be a vector.", setHdr("scale", [] { return doubleMatrix(2, 4); })},
      {"HDR.scale", "HDR.scale has to be a vector with the size of nChanns.",
       setHdr("scale",
              [] {
                return rowVector({1, 2, 3});
              })},
      {"HDR.scale", "HDR.scale must be a real scalar vector.",
       setHdr("scale",
              [] {
                return mexhost::complexMatrix(1, 4, {1, 1, 1, 1}, {0, 0, 0, 1});
              })},
      {"HDR.scale", "HDR.scale holds a 64-bit integer that has no exact double.",
       setHdr("scale",
              [] {
                return integerRow<int64_t>(mxINT64_CLASS, {1, 1, 1, kTwoTo53 + 1});
              })},
      {"HDR.scale", "HDR.scale holds a 64-bit integer that has no exact double.",
       setHdr("scale",
              [] {
                return integerRow<int64_t>(mxINT64_CLASS, {-kTwoTo53 - 1, 1, 1, 1});
              })},
      {"HDR.endian", "HDR.endian must be a character.", setHdr("endian", [] { return scalar(1); })},
      {"HDR.endian", "HDR.endian argument must be character.",
       setHdr("endian", [] { return charArray("lb"); })},
      {"HDR.endian", "HDR.endian must be 'l' or 'b', see documentation.",
       setHdr("endian", [] { return charArray("L"); })},
      {"OPT", "OPT has to be a struct.", [](CallArgs& c) { c.optOverride = charArray("opt"); }},
      {"OPT.chanidx", "The field OPT.chanidx was not set", dropOpt("chanidx")},
      {"OPT.fs", "The field OPT.fs was not set", dropOpt("fs")},
      {"OPT", "OPT must not be an empty struct array.",
       [](CallArgs& c) { c.optOverride = CallArgs::build(c.opt, 1, 0); }},
      {"OPT.chanidx", "OPT.chanidx must be a real scalar vector.",
       setOpt("chanidx", [] { return charArray("ab"); })},
      {"OPT.chanidx", "OPT.chanidx has to be a vector.",
       setOpt("chanidx",
              [] {
                return doubleMatrix(2, 1, {1, 2});
              })},
      {"OPT.chanidx", "OPT.chanidx must be a real scalar vector.",
       setOpt("chanidx",
              [] {
                return mexhost::complexMatrix(1, 2, {1, 2}, {1, 0});
              })},
      {"OPT.chanidx", "OPT.chanidx holds a 64-bit integer that has no exact double.",
       setOpt("chanidx",
              [] {
                return integerRow<uint64_t>(mxUINT64_CLASS, {2, uint64_t(kTwoTo53) + 1});
              })},
      {"OPT.chanidx", "OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.",
       setOpt("chanidx",
              [] {
                return rowVector({2, 0.99});
              })},
      {"OPT.chanidx", "OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.",
       setOpt("chanidx",
              [] {
                return rowVector({5, 1});
              })},
      {"OPT.chanidx", "OPT.chanidx entries must be channel numbers from 1 to HDR.nChans.",
       setOpt("chanidx",
              [] {
                return rowVector({std::nan(""), 1});
              })},
      {"HDR.scale",
       "HDR.scale of a channel OPT.chanidx selects is not a finite number: its scale is unknown.",
       setHdr("scale",
              [] {
                return rowVector({std::nan(""), std::nan(""), -HUGE_VAL, std::nan("")});
              })},
      {"OPT.fs", "OPT.fs must be a real scalar.", setOpt("fs", [] { return charArray("f"); })},
      {"OPT.fs", "OPT.fs argument must be real scalar.",
       setOpt("fs",
              [] {
                return rowVector({250, 250});
              })},
      {"OPT.fs", "OPT.fs must be a finite number within the signed 32-bit range.", setOpt("fs", nan)},
      {"OPT.fs", "OPT.fs must be at least 1.", setOpt("fs", [] { return scalar(-250); })},
      {"OPT.fs", " The base frequency has to be a multiple of the requested frequency.",
       setOpt("fs", [] { return scalar(300); })},
      {"OPT.fs", " The base frequency has to be a multiple of the requested frequency.",
       setOpt("fs", [] { return scalar(2000); })},
      {"OPT.data", "OPT.data must be a real scalar matrix.", setOpt("data", [] { return charArray("ab"); })},
      {"OPT.data", "OPT.data must have the same size as chanidx.",
       setOpt("data", [] { return doubleMatrix(10, 3); })},
      {"OPT.data", "OPT.data must be a real double matrix.",
       setOpt("data", [] { return mexhost::numeric(mxSINGLE_CLASS, 10, 2); })},
      {"OPT.data", "OPT.data must be a real double matrix.",
       setOpt("data", [] { return mexhost::complexMatrix(10, 2, {}, {}); })},
      {"OPT.dataPos", "OPT.dataPos must be a real scalar vector.",
       setOpt("dataPos", [] { return charArray("abcd"); })},
      {"OPT.dataPos", "OPT.dataPos must be a vector.", setOpt("dataPos", [] { return doubleMatrix(4, 1); })},
      {"OPT.dataPos", "OPT.dataPos must have the size 4",
       setOpt("dataPos",
              [] {
                return rowVector({0, 9, 0});
              })},
      {"OPT.dataPos", "OPT.dataPos entries must be finite numbers within the signed 32-bit range.",
       setOpt("dataPos",
              [] {
                return rowVector({0, 9, 0, std::nan("")});
              })},
      {"OPT.dataPos", "OPT.dataPos entries must be finite numbers within the signed 32-bit range.",
       setOpt("dataPos",
              [=] {
                return rowVector({0, big, 0, -1});
              })},
      {"OPT.dataPos", "OPT.dataPos holds a 64-bit integer that has no exact double.",
       setOpt("dataPos",
              [] {
                return integerRow<int64_t>(mxINT64_CLASS, {0, 9, 0, kTwoTo53 + 1});
              })},
      {"OPT.filt_b|OPT.filter pair", "OPT.filt_a or OPT.filt_b was not set.", dropOpt("filt_b")},
      {"OPT.filt_a|OPT.filter pair", "OPT.filt_a or OPT.filt_b was not set.", dropOpt("filt_a")},
      {"OPT.filt_a", "OPT.filt_a must be a real scalar vector.",
       setOpt("filt_a", [] { return charArray("a"); })},
      {"OPT.filt_a", "OPT.filt_a has to be a vector.", setOpt("filt_a", [] { return doubleMatrix(2, 2); })},
      {"OPT.filt_b", "OPT.filt_b must be a real scalar vector.",
       setOpt("filt_b", [] { return charArray("b"); })},
      {"OPT.filt_b", "OPT.filt_b has to be a vector.", setOpt("filt_b", [] { return doubleMatrix(0, 2); })},
      {"OPT.filt_b", "OPT.filt_a and OPT.filt_b must have the same size.",
       setOpt("filt_b",
              [] {
                return rowVector({1, 2, 3});
              })},
      {"OPT.filt_a", "OPT.filt_a must be a real scalar vector.",
       setOpt("filt_a",
              [] {
                return mexhost::complexMatrix(1, 2, {1, 0}, {0, 1});
              })},
      {"OPT.filt_a", "OPT.filt_a holds a 64-bit integer that has no exact double.",
       setOpt("filt_a",
              [] {
                return integerRow<int64_t>(mxINT64_CLASS, {1, kTwoTo53 + 3});
              })},
      {"OPT.filt_b", "OPT.filt_b holds a 64-bit integer that has no exact double.",
       setOpt("filt_b",
              [] {
                return integerRow<uint64_t>(mxUINT64_CLASS, {~uint64_t(0), 1});
              })},
      {"OPT.filt_subsample", "OPT.filt_subsample must be a real scalar vector.",
       setOpt("filt_subsample", [] { return charArray("wwww"); })},
      {"OPT.filt_subsample", "OPT.filt_subsample has to be a vector.",
       setOpt("filt_subsample", [] { return doubleMatrix(2, 4); })},
      {"OPT.filt_subsample", "FIR filter has to correspondent with the sampling rate.",
       setOpt("filt_subsample",
              [] {
                return rowVector({0.5, 0.5});
              })},
      {"OPT.filt_subsample", "OPT.filt_subsample must be a real scalar vector.",
       setOpt("filt_subsample",
              [] {
                return mexhost::complexMatrix(1, 4, {1, 1, 1, 1}, {1, 1, 1, 1});
              })},
      {"OPT.filt_subsample", "OPT.filt_subsample holds a 64-bit integer that has no exact double.",
       setOpt("filt_subsample",
              [] {
                return integerRow<int64_t>(mxINT64_CLASS, {0, 0, 0, -kTwoTo53 - 1});
              })},
      {"OPT.resume", "OPT.resume must be a logical or numeric scalar.",
       setOpt("resume", [] { return charArray("y"); })},
      {"OPT.resume", "OPT.resume must be a scalar.",
       setOpt("resume",
              [] {
                return rowVector({1, 1});
              })},
      {"OPT.resume", "OPT.resume must be real.",
       setOpt("resume", [] { return mexhost::complexMatrix(1, 1, {1}, {1}); })},
      {"OPT.resume", "OPT.resume must not be NaN.", setOpt("resume", nan)},
  };
}

// Keys touch the same thing when equal or when one is the other's prefix up to a dot. A case may
// name several keys, separated by '|'.
bool overlaps(const std::string& x, const std::string& y) {
  auto nested = [](const std::string& outer, const std::string& inner) {
    return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
           inner[outer.size()] == '.';
  };
  auto split = [](const std::string& keys) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t bar; (bar = keys.find('|', start)) != std::string::npos; start = bar + 1)
      out.push_back(keys.substr(start, bar - start));
    out.push_back(keys.substr(start));
    return out;
  };
  for (const std::string& a : split(x))
    for (const std::string& b : split(y))
      if (a == b || nested(a, b) || nested(b, a)) return true;
  return false;
}

struct Counters {
  size_t arrays = mexhost::liveArrays();
  size_t callocs = mexhost::liveCallocs();
  int fds = gwtest::openDescriptors();
};

// Runs the call and checks it failed with `message` and left nothing behind.
void expectFailure(CallArgs args, const std::string& message, const std::string& what) {
  Counters before;
  mexhost::CallResult r = args.call();
  EXPECT_TRUE(r.failed) << what;
  EXPECT_EQ(r.message, message) << what;
  for (auto& res : r.results) EXPECT_EQ(res, nullptr) << what;
  r.results.clear();
  Counters after;
  EXPECT_EQ(after.arrays, before.arrays) << what;
  EXPECT_EQ(after.callocs, before.callocs) << what;
  EXPECT_EQ(after.fds, before.fds) << what << ": the data file was left open";
}

TEST(GatewayMessages, TheUntouchedCallSucceeds) {
  Counters before;
  mexhost::CallResult r = validCall().call();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_TRUE(r.warnings.empty());
  Counters after;
  EXPECT_EQ(after.fds, before.fds);
}

TEST(GatewayMessages, EachFailingCheckGivesItsMessageAndLeavesNothingOpen) {
  for (const Case& c : cases()) {
    CallArgs args = validCall();
    c.change(args);
    expectFailure(args, c.message, c.message + " [" + c.key + "]");
  }
}

TEST(GatewayMessages, TheEarlierOfTwoFailingChecksDecides) {
  std::vector<Case> all = cases();
  for (size_t i = 0; i < all.size(); ++i) {
    for (size_t j = i + 1; j < all.size(); ++j) {
      if (overlaps(all[i].key, all[j].key)) continue;
      // Both orders of applying the changes: the outcome depends only on the order of the checks.
      CallArgs early = validCall();
      all[i].change(early);
      all[j].change(early);
      CallArgs late = validCall();
      all[j].change(late);
      all[i].change(late);
      std::string what = all[i].message + " before " + all[j].message;
      mexhost::CallResult r1 = early.call();
      mexhost::CallResult r2 = late.call();
      ASSERT_TRUE(r1.failed && r2.failed) << what;
      ASSERT_EQ(r1.message, all[i].message) << what;
      ASSERT_EQ(r2.message, all[i].message) << what;
    }
  }
}

TEST(GatewayMessages, ANonexistentFileIsReportedBeforeAWrongHeader) {
  CallArgs args = validCall();
  args.fileName = charArray("/nonexistent/eeg.bin");
  args.hdrOverride = charArray("not a struct");
  args.optOverride = scalar(3);
  expectFailure(args, "Could not open eeg file.", "missing file");
}

TEST(GatewayMessages, DataPosIsIgnoredWithoutData) {
  CallArgs args = validCall();
  args.opt.erase("data");
  args.opt["dataPos"] = charArray("anything at all");
  mexhost::CallResult r = args.call();
  ASSERT_FALSE(r.failed) << r.message;
  ASSERT_TRUE(r.results[0]);
  EXPECT_EQ(mxGetM(r.results[0].get()), 10u);
  EXPECT_EQ(mxGetN(r.results[0].get()), 2u);
}

TEST(GatewayMessages, TruncationDecidesTheIntegerFields) {
  // 1000.9 Hz truncates to 1000 and 250.7 to 250: a factor of 4 and no complaint.
  CallArgs args = validCall();
  args.hdr["fs"] = scalar(1000.9);
  args.opt["fs"] = scalar(250.7);
  args.hdr["BinaryFormat"] = scalar(1.99);
  args.opt["chanidx"] = rowVector({2.9, 4.5});
  mexhost::CallResult r = args.call();
  EXPECT_FALSE(r.failed) << r.message;
  // HDR.nPoints -0.5 truncates to 0: an empty read, not an error.
  args = validCall();
  args.hdr["nPoints"] = scalar(-0.5);
  args.opt.erase("data");
  r = args.call();
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(mxGetM(r.results[0].get()), 0u);
  EXPECT_EQ(mxGetN(r.results[0].get()), 2u);
}

TEST(GatewayMessages, TheFileNameIsReadWhole) {
  // A name longer than any fixed buffer still opens its file.
  std::string dir = "/tmp/eegfetch_gw_" + std::string(200, 'd');
  ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
  std::string path = dir + "/rec.bin";
  ASSERT_EQ(system(("cp " + recordingFile().path() + " " + path).c_str()), 0);
  CallArgs args = validCall();
  args.fileName = charArray(path);
  mexhost::CallResult r = args.call();
  EXPECT_FALSE(r.failed) << r.message;
  ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

}  // namespace
