// eegfetch under wine: results bit-identical to the Linux build, placement, and messages after
// which nothing of the call is left behind (host storage, arrays, the open data file).
#include <windows.h>
#include <xmmintrin.h>

#include <cstdio>
#include <cstring>

#include "eegfetch_cases.h"
#include "harness.h"

namespace harness {

namespace {

using mexhost::Array;
using wincases::EegCase;

std::string firstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
  size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return "sizes " + std::to_string(a.size()) + "/" + std::to_string(b.size()) +
         ", first difference at byte " + std::to_string(i);
}

// The Linux result of a case, decoded: rows, columns, column-major doubles.
struct Reference {
  size_t m = 0, n = 0;
  std::vector<double> v;
  double at(size_t r, size_t k) const { return v[r + k * m]; }
};

bool decode(const std::vector<unsigned char>& bytes, Reference& ref) {
  if (bytes.size() < 8) return false;
  uint32_t m, n;
  std::memcpy(&m, bytes.data(), 4);
  std::memcpy(&n, bytes.data() + 4, 4);
  if (bytes.size() != 8 + 8ull * m * n) return false;
  ref.m = m, ref.n = n;
  ref.v.resize(static_cast<size_t>(m) * n);
  std::memcpy(ref.v.data(), bytes.data() + 8, ref.v.size() * 8);
  return true;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Compares a target matrix after an in-place call with what should be there: rows
// destStart.. hold reference rows srcStart.., every other row keeps `fill`.
bool placedAsExpected(const mxArray* target, const Reference& ref, long destStart, long srcStart, long count,
                      double fill, std::string& why) {
  size_t rows = mxGetM(target), cols = mxGetN(target);
  std::vector<double> got = mexhost::values(target);
  for (size_t k = 0; k < cols; ++k)
    for (size_t r = 0; r < rows; ++r) {
      long src = static_cast<long>(r) - destStart + srcStart;
      bool placed = static_cast<long>(r) >= destStart && static_cast<long>(r) < destStart + count;
      double want = placed ? ref.at(static_cast<size_t>(src), k) : fill;
      if (!sameBits(got[r + k * rows], want)) {
        why = "row " + std::to_string(r) + " column " + std::to_string(k);
        return false;
      }
    }
  return true;
}

void resultsMatchLinux(mexhost::Module& eegfetch, const Paths& paths) {
  for (const EegCase& c : wincases::eegCases()) {
    std::string name = "eegfetch result bit-identical to Linux: " + c.name;
    std::vector<unsigned char> expected;
    if (!readFile(paths.data + "\\" + c.name + ".out", expected) || expected.size() <= 8) {
      check(false, name, "no Linux result in the data directory");
      continue;
    }
    Array file = mexhost::charArray(paths.data + "\\" + c.name + ".eeg");
    Array hdr = wincases::header(c), opt = wincases::options(c);
    mexhost::CallResult r = eegfetch.call(1, {file.get(), hdr.get(), opt.get()});
    if (r.failed || r.results.size() != 1 || !r.results[0]) {
      check(false, name, "call failed: " + r.message);
      continue;
    }
    std::vector<unsigned char> got = wincases::encodeResult(r.results[0].get());
    check(got == expected, name, firstDifference(got, expected));
  }
}

void placement(mexhost::Module& eegfetch, const Paths& paths) {
  const EegCase& c = wincases::eegCases().front();
  std::vector<unsigned char> bytes;
  Reference ref;
  if (!readFile(paths.data + "\\" + c.name + ".out", bytes) || !decode(bytes, ref) || ref.m < 100) {
    check(false, "eegfetch placement", "no usable Linux result in the data directory");
    return;
  }
  Array file = mexhost::charArray(paths.data + "\\" + c.name + ".eeg");
  Array hdr = wincases::header(c);
  const double fill = -7.25;
  size_t nSel = c.chanidx.size();

  struct Window {
    const char* what;
    size_t rows;
    std::vector<double> dataPos;  // empty: no dataPos
    long destStart, srcStart, count;
  };
  const Window windows[] = {
      {"[10 19 0 9] puts samples 0-9 into rows 10-19", 100, {10, 19, 0, 9}, 10, 0, 10},
      {"[0 4 0 -1] fills rows 0-4 and drops the rest", 100, {0, 4, 0, -1}, 0, 0, 5},
      {"srcStart > srcEnd writes nothing", 100, {5, 50, 7, 3}, 0, 0, 0},
      {"[0 -1 0 -1] writes nothing", 100, {0, -1, 0, -1}, 0, 0, 0},
      {"a window reaching past the matrix writes only inside it", 40, {30, 90, 5, -1}, 30, 5, 10},
      {"a target shorter than the output, no dataPos: every row filled", 30, {}, 0, 0, 30},
  };
  for (const Window& w : windows) {
    std::string name = std::string("eegfetch placement: ") + w.what;
    Array opt = wincases::options(c);
    mexhost::setField(opt.get(), "data",
                      mexhost::doubleMatrix(w.rows, nSel, std::vector<double>(w.rows * nSel, fill)));
    if (!w.dataPos.empty()) mexhost::setField(opt.get(), "dataPos", mexhost::rowVector(w.dataPos));
    mexhost::CallResult r = eegfetch.call(0, {file.get(), hdr.get(), opt.get()});
    std::string why;
    check(!r.failed && placedAsExpected(mxGetField(opt.get(), 0, "data"), ref, w.destStart, w.srcStart,
                                        w.count, fill, why),
          name, r.failed ? "call failed: " + r.message : why);
  }

  // An in-place call, then a call without OPT.data: the second returns the whole result and
  // leaves the first call's matrix alone.
  Array opt1 = wincases::options(c);
  mexhost::setField(opt1.get(), "data",
                    mexhost::doubleMatrix(20, nSel, std::vector<double>(20 * nSel, fill)));
  mexhost::setField(opt1.get(), "dataPos", mexhost::rowVector({2, 11, 0, 9}));
  mexhost::CallResult first = eegfetch.call(0, {file.get(), hdr.get(), opt1.get()});
  Array opt2 = wincases::options(c);
  mexhost::CallResult second = eegfetch.call(1, {file.get(), hdr.get(), opt2.get()});
  std::string why;
  bool firstKept = placedAsExpected(mxGetField(opt1.get(), 0, "data"), ref, 2, 0, 10, fill, why);
  bool secondWhole = !second.failed && second.results.size() == 1 && second.results[0] &&
                     mexhost::values(second.results[0].get()) == ref.v &&
                     mxGetM(second.results[0].get()) == ref.m;
  check(!first.failed && firstKept && secondWhole,
        "eegfetch placement: a call after an in-place call returns a new whole matrix",
        first.failed    ? first.message
        : second.failed ? second.message
                        : why);
}

// A copy of struct `s` without field `drop` (fields looked for among the ones eegfetch knows).
Array without(const mxArray* s, const char* drop) {
  static const char* const known[] = {"fs",      "nChans", "BinaryFormat", "nPoints",
                                      "scale",   "endian", "chanidx",      "data",
                                      "dataPos", "filt_a", "filt_b",       "filt_subsample"};
  Array copy = mexhost::structArray();
  for (const char* f : known)
    if (std::strcmp(f, drop) != 0 && mxGetFieldNumber(s, f) >= 0)
      mexhost::setField(copy.get(), f, mexhost::duplicate(mxGetField(s, 0, f)));
  return copy;
}

void messages(mexhost::Module& eegfetch, const Paths& paths) {
  const EegCase& c = wincases::eegCases().front();
  std::vector<unsigned char> recording = wincases::recordingBytes(c);
  std::string scratch = paths.build + "\\eegfetch-open-check.eeg";

  // The closed-file checks below rely on Windows refusing to delete a file that is open; make sure
  // this system does, or those checks would be blind.
  bool refused = false;
  if (writeFile(scratch, recording)) {
    FILE* f = std::fopen(scratch.c_str(), "rb");
    refused = f && !DeleteFileA(scratch.c_str());
    if (f) std::fclose(f);
  }
  check(refused, "eegfetch messages: an open file cannot be deleted here (the closed-file checks can fail)");

  struct MessageCase {
    std::string message;
    int nlhs;
    std::vector<Array> args;  // after the file name; the file name comes first unless `noFile`
    bool opensFile;           // the failing check comes after the open
    std::string fileName;
  };
  auto hdr = [&] { return wincases::header(c); };
  auto opt = [&] { return wincases::options(c); };
  auto edited = [](Array s, const char* field, Array value) {
    mexhost::setField(s.get(), field, std::move(value));
    return s;
  };
  std::vector<MessageCase> cases;
  auto add = [&](const std::string& message, int nlhs, Array h, Array o, bool opens = true,
                 const std::string& file = "") {
    MessageCase m{message, nlhs, {}, opens, file.empty() ? scratch : file};
    m.args.push_back(std::move(h));
    if (o) m.args.push_back(std::move(o));
    cases.push_back(std::move(m));
  };
  add("Exactly three input arguments required.", 1, hdr(), nullptr, false);
  add("One or two output arguments required.", 3, hdr(), opt(), false);
  add("Could not open eeg file.", 1, mexhost::scalar(1), opt(), false,
      paths.build + "\\no-such-recording.eeg");
  add("HDR has to be a struct.", 1, mexhost::scalar(1), opt());
  add("The field HDR.BinaryFormat was not set", 1,
      edited(without(hdr().get(), "BinaryFormat"), "fs", mexhost::charArray("x")), opt());
  add("The field HDR.endian was not set", 1, without(hdr().get(), "endian"), opt());
  add("Unknown Binary Format!", 1, edited(hdr(), "BinaryFormat", mexhost::scalar(5)), opt());
  add("HDR.scale has to be a vector with the size of nChanns.", 1,
      edited(hdr(), "scale", mexhost::rowVector({1, 2})), opt());
  add("HDR.endian argument must be character.", 1, edited(hdr(), "endian", mexhost::charArray("lb")), opt());
  add("HDR.endian must be 'l' or 'b', see documentation.", 1,
      edited(hdr(), "endian", mexhost::charArray("B")), opt());
  add("The field OPT.fs was not set", 1, hdr(), without(opt().get(), "fs"));
  add(" The base frequency has to be a multiple of the requested frequency.", 1, hdr(),
      edited(opt(), "fs", mexhost::scalar(300)));
  add("OPT.filt_a or OPT.filt_b was not set.", 1, hdr(), without(opt().get(), "filt_a"));
  add("OPT.filt_a and OPT.filt_b must have the same size.", 1, hdr(),
      edited(opt(), "filt_a", mexhost::rowVector({1, 0.5})));
  add("FIR filter has to correspondent with the sampling rate.", 1, hdr(),
      edited(opt(), "filt_subsample", mexhost::rowVector({0.5, 0.5})));
  add("OPT.data must have the same size as chanidx.", 1, hdr(),
      edited(opt(), "data", mexhost::doubleMatrix(10, 2)));

  for (MessageCase& m : cases) {
    std::string name = "eegfetch message \"" + m.message + "\"";
    if (m.opensFile && !writeFile(scratch, recording)) {
      check(false, name, "cannot write the scratch recording");
      continue;
    }
    size_t arraysBefore = mexhost::liveArrays();
    Array file = mexhost::charArray(m.fileName);
    std::vector<const mxArray*> args{file.get()};
    for (const Array& a : m.args) args.push_back(a.get());
    mexhost::CallResult r = eegfetch.call(m.nlhs, args);
    bool closed = !m.opensFile || DeleteFileA(scratch.c_str());
    check(r.failed && r.message == m.message, name, r.failed ? "got \"" + r.message + "\"" : "no error");
    check(closed && mexhost::liveCallocs() == 0 && mexhost::liveArrays() == arraysBefore + 1,
          name + " leaves nothing behind",
          std::string(closed ? "" : "the data file is still open; ") + "host blocks " +
              std::to_string(mexhost::liveCallocs()) + ", arrays " + std::to_string(mexhost::liveArrays()) +
              " vs " + std::to_string(arraysBefore + 1));
  }
}

// The caller's floating-point settings hold on every thread of the read. With flush-to-zero and
// denormals-are-zero set by the caller, every product of this filter is subnormal, so every value of
// the result is 0 on whichever thread computes it; a worker started with the default settings
// would leave subnormal values in its part of the channels.
void floatSettings(mexhost::Module& eegfetch, const Paths& paths) {
  const int nChans = 64, frames = 100000;  // enough samples for the read to use worker threads
  std::vector<unsigned char> bytes(size_t(nChans) * frames * 4);
  for (size_t i = 0; i < bytes.size() / 4; ++i) {
    const float v = 1.0f + static_cast<float>(i % 97);
    std::memcpy(&bytes[i * 4], &v, 4);
  }
  const std::string file = paths.build + "\\subnormal.eeg";
  if (!writeFile(file, bytes)) {
    check(false, "eegfetch float settings", "cannot write the recording");
    return;
  }
  Array hdr = mexhost::structArray(), opt = mexhost::structArray();
  std::vector<double> chans, scale(nChans, 1.0);
  for (int c = 1; c <= nChans; ++c) chans.push_back(c);
  mexhost::setField(hdr.get(), "fs", mexhost::scalar(1000));
  mexhost::setField(hdr.get(), "nChans", mexhost::scalar(nChans));
  mexhost::setField(hdr.get(), "BinaryFormat", mexhost::scalar(3));
  mexhost::setField(hdr.get(), "scale", mexhost::rowVector(scale));
  mexhost::setField(hdr.get(), "endian", mexhost::charArray("l"));
  mexhost::setField(opt.get(), "chanidx", mexhost::rowVector(chans));
  mexhost::setField(opt.get(), "fs", mexhost::scalar(1000));
  mexhost::setField(opt.get(), "filt_b", mexhost::rowVector({1e-310, 1e-310}));
  mexhost::setField(opt.get(), "filt_a", mexhost::rowVector({1, 0}));
  Array name = mexhost::charArray(file);
  const unsigned saved = _mm_getcsr();
  _mm_setcsr(saved | 0x8040);  // flush to zero, denormals are zero
  mexhost::CallResult r = eegfetch.call(1, {name.get(), hdr.get(), opt.get()});
  _mm_setcsr(saved);
  size_t nonzero = 0;
  if (!r.failed)
    for (double v : mexhost::values(r.results[0].get())) nonzero += v != 0.0;
  check(!r.failed && nonzero == 0,
        "eegfetch float settings: flush-to-zero set by the caller holds on every thread of the read",
        r.failed ? r.message : std::to_string(nonzero) + " nonzero values");
  r.results.clear();
  DeleteFileA(file.c_str());
}

// OPT.resume on Windows: a recording growing in steps, read after each with OPT.resume and without,
// gives the same bits; and the resumed calls really read only the new frames: bytes changed in the
// middle of the file (against the caller's word that it only grows) go unnoticed by them, while a
// full read of an untouched copy still agrees with them.
void onlineReads(mexhost::Module& eegfetch, const Paths& paths) {
  const std::string grown = paths.build + "\\online.eeg", copy = paths.build + "\\online-copy.eeg";
  DeleteFileA(grown.c_str());
  DeleteFileA(copy.c_str());
  const int nChans = 4, rows = 40;
  auto append = [](const std::string& file, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(file.c_str(), "ab");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f) std::fclose(f);
    return ok;
  };
  auto call = [&](const std::string& file, bool resume, int64_t nOut, std::vector<double>& data) {
    Array hdr = mexhost::structArray(), opt = mexhost::structArray(), name = mexhost::charArray(file);
    mexhost::setField(hdr.get(), "fs", mexhost::scalar(1000));
    mexhost::setField(hdr.get(), "nChans", mexhost::scalar(nChans));
    mexhost::setField(hdr.get(), "BinaryFormat", mexhost::scalar(1));
    mexhost::setField(hdr.get(), "scale", mexhost::rowVector({1, 2, 3, 4}));
    mexhost::setField(hdr.get(), "endian", mexhost::charArray("l"));
    mexhost::setField(opt.get(), "chanidx", mexhost::rowVector({3, 1}));
    mexhost::setField(opt.get(), "fs", mexhost::scalar(250));
    mexhost::setField(opt.get(), "filt_b", mexhost::rowVector({1, 0}));
    mexhost::setField(opt.get(), "filt_a", mexhost::rowVector({1, -0.999}));  // a long memory
    mexhost::setField(opt.get(), "data", mexhost::doubleMatrix(rows, 2, data));
    mexhost::setField(opt.get(), "dataPos",
                      mexhost::rowVector({0, rows - 1.0, double(nOut - rows), double(nOut - 1)}));
    if (resume) mexhost::setField(opt.get(), "resume", mexhost::scalar(1));
    mexhost::CallResult r = eegfetch.call(0, {name.get(), hdr.get(), opt.get()});
    data = mexhost::values(mxGetField(opt.get(), 0, "data"));
    return !r.failed;
  };
  uint32_t seed = 12345;
  int64_t frames = 0;
  bool same = true, ok = true;
  for (int step = 0; step < 12 && ok; ++step) {
    const int64_t more = 1 + (seed = seed * 1103515245u + 12345u) % 3000;
    std::vector<unsigned char> bytes(size_t(more) * nChans * 2);
    for (unsigned char& b : bytes) b = static_cast<unsigned char>((seed = seed * 1103515245u + 12345u) >> 16);
    ok = append(grown, bytes) && append(copy, bytes);
    frames += more;
    if (step == 9) {  // the middle of the file, far from the bytes the module compares
      std::FILE* f = std::fopen(grown.c_str(), "r+b");
      ok = ok && f && std::fseek(f, long(frames / 2) * nChans * 2, SEEK_SET) == 0;
      const std::vector<unsigned char> other(64 * nChans * 2, 0x7f);
      ok = ok && std::fwrite(other.data(), 1, other.size(), f) == other.size();
      if (f) std::fclose(f);
    }
    std::vector<double> resumed(rows * 2, 0.0), full(rows * 2, 0.0);
    ok = ok && call(grown, true, frames / 4, resumed) &&
         call(step >= 9 ? copy : grown, false, frames / 4, full);
    same = same && std::memcmp(resumed.data(), full.data(), full.size() * sizeof(double)) == 0;
  }
  check(ok && same, "eegfetch OPT.resume: each read of a growing file equals a full read of what it holds",
        ok ? "a result differs" : "a call or a file write failed");
  std::vector<double> full(rows * 2, 0.0), changed(rows * 2, 0.0);
  ok = call(copy, false, frames / 4, full) && call(grown, false, frames / 4, changed);
  check(
      ok && std::memcmp(full.data(), changed.data(), full.size() * sizeof(double)) != 0,
      "eegfetch OPT.resume: the change in the middle shows in a full read, so the resumed reads skipped it");
  DeleteFileA(grown.c_str());
  DeleteFileA(copy.c_str());
}

}  // namespace

void eegfetchSuite(const Paths& paths) {
  mexhost::Module eegfetch(paths.build + "\\eegfetch" + paths.suffix);
  resultsMatchLinux(eegfetch, paths);
  placement(eegfetch, paths);
  messages(eegfetch, paths);
  floatSettings(eegfetch, paths);
  onlineReads(eegfetch, paths);
}

}  // namespace harness
