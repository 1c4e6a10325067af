// Fuzz target: eegfetch through the embedded host with random argument sets over a random small
// recording. Each argument is either plausible (so that the call gets deep into the read) or
// anything (any class, shape, NaN, infinities, huge numbers). After each call: a rejection carries
// one of the documented messages, and no array, host allocation or descriptor is left behind.
#include <unistd.h>

#include <set>
#include <string>

#include "eegfetch/messages.h"
#include "hostfuzz.h"

namespace {

using hostfuzz::pickNumber;
using mexhost::Array;

// Every message eegfetch may end a call with (its table, "%s" filled with each field a check
// names), and the host's own out-of-memory error.
const std::set<std::string>& documentedMessages() {
  static const std::set<std::string> messages = [] {
    std::set<std::string> m = {"Out of memory. Type \"help memory\" for your options."};
    const char* fields[] = {"HDR.dataOffset", "HDR.recordSamples", "HDR.offset",  "HDR.fs",
                            "HDR.nChans",     "HDR.BinaryFormat",  "HDR.nPoints", "HDR.scale",
                            "HDR.endian",     "OPT.chanidx",       "OPT.fs",      "OPT.data",
                            "OPT.dataPos",    "OPT.filt_a",        "OPT.filt_b",  "OPT.filt_subsample",
                            "OPT.resume",     "OPT.newest"};
    const char* texts[] = {
#define EEGFETCH_MESSAGE_TEXT(name, text) text,
        EEGFETCH_MESSAGES(EEGFETCH_MESSAGE_TEXT)
#undef EEGFETCH_MESSAGE_TEXT
    };
    for (const char* t : texts) {
      const std::string text(t);
      const size_t at = text.find("%s");
      if (at == std::string::npos) m.insert(text);
      for (const char* f : fields)
        if (at != std::string::npos) m.insert(text.substr(0, at) + f + text.substr(at + 2));
    }
    return m;
  }();
  return messages;
}

std::string recordingPath() {
  static const std::string path = [] {
    char dir[] = "/tmp/eegfetch_fuzz_XXXXXX";
    if (!mkdtemp(dir)) hostfuzz::fail("eegfetch", "cannot make a temporary folder");
    return std::string(dir) + "/rec.bin";
  }();
  return path;
}

// The value of a field: plausible for that field, or anything.
Array fieldValue(FuzzedDataProvider& in, const std::string& name, int nChans, int nSel, int L, int factor) {
  if (in.ConsumeIntegralInRange<int>(0, 4) == 0) return hostfuzz::randomArray(in);
  auto row = [&](int n, double lo, double hi, bool integral) {
    std::vector<double> v;
    for (int i = 0; i < n; ++i) {
      double x = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickNumber(in)
                 : integral                                ? static_cast<double>(
                                  in.ConsumeIntegralInRange<int>(static_cast<int>(lo), static_cast<int>(hi)))
                            : in.ConsumeFloatingPointInRange<double>(lo, hi);
      v.push_back(x);
    }
    return mexhost::rowVector(v);
  };
  if (name == "fs") return mexhost::scalar(in.PickValueInArray({1000.0, 500.0, 250.0, 100.0, 1.0}));
  if (name == "ofs")
    return mexhost::scalar(in.PickValueInArray({1000.0, 500.0, 250.0, 125.0, 100.0, 300.0, 0.0}));
  if (name == "nChans") return mexhost::scalar(nChans);
  if (name == "BinaryFormat") return mexhost::scalar(in.ConsumeIntegralInRange<int>(0, 5));
  if (name == "dataOffset") return mexhost::scalar(in.ConsumeIntegralInRange<int>(-1, 40));
  if (name == "recordSamples") return row(nChans, 0, 4, true);
  if (name == "offset") return row(nChans, -100.0, 100.0, false);
  if (name == "nPoints") return mexhost::scalar(in.ConsumeIntegralInRange<int>(-2, 70));
  if (name == "scale") return row(nChans, -4.0, 4.0, false);
  if (name == "endian")
    return mexhost::charArray(in.PickValueInArray<std::string>({"l", "b", "L", "lb", ""}));
  if (name == "chanidx") return row(nSel, 0, nChans + 1, true);
  if (name == "data")
    return mexhost::doubleMatrix(in.ConsumeIntegralInRange<size_t>(0, 30), static_cast<size_t>(nSel));
  if (name == "dataPos") return row(4, -2, 32, true);
  if (name == "filt_a" || name == "filt_b") return row(L, -1.0, 1.0, false);
  if (name == "filt_subsample") return row(factor, -1.0, 1.0, false);
  if ((name == "resume" || name == "newest") && in.ConsumeBool())
    return mexhost::scalar(in.ConsumeIntegralInRange<int>(0, 1));
  return hostfuzz::randomArray(in);
}

Array randomStruct(FuzzedDataProvider& in, const std::vector<std::string>& names, int nChans, int nSel, int L,
                   int factor, bool isOpt) {
  size_t elements = in.ConsumeIntegralInRange<int>(0, 9) == 0 ? in.ConsumeIntegralInRange<size_t>(0, 2) : 1;
  Array s = mexhost::structArray(1, elements);
  for (const std::string& name : names) {
    if (in.ConsumeIntegralInRange<int>(0, 9) == 0) continue;  // a missing field
    std::string kind = isOpt && name == "fs" ? "ofs" : name;
    mexhost::setField(s.get(), name.c_str(), fieldValue(in, kind, nChans, nSel, L, factor));
  }
  if (in.ConsumeIntegralInRange<int>(0, 7) == 0)
    mexhost::setField(s.get(), "extra", hostfuzz::randomArray(in));
  return s;
}

// With EEGMEX_FUZZ_OUTCOMES set, each call's outcome is printed as one line "outcome: ..." (to see,
// with sort | uniq -c, that a corpus reaches the read and not only the first checks).
void countOutcome(const std::string& outcome) {
  static const bool wanted = std::getenv("EEGMEX_FUZZ_OUTCOMES") != nullptr;
  if (wanted) std::fprintf(stderr, "outcome: %s\n", outcome.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static mexhost::Module module(EEGFETCH_MODULE);  // kept loaded: its coverage counters live in it
  FuzzedDataProvider in(data, size);

  const std::string path = recordingPath();
  int nChans = in.ConsumeIntegralInRange<int>(in.ConsumeIntegralInRange<int>(0, 15) == 0 ? -1 : 1, 4);
  int nSel = in.ConsumeIntegralInRange<int>(0, 4);
  int L = in.ConsumeIntegralInRange<int>(0, 4);
  int factor = in.ConsumeIntegralInRange<int>(1, 8);
  int nrhs = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? in.ConsumeIntegralInRange<int>(0, 5) : 3;
  int nlhs = in.ConsumeIntegralInRange<int>(0, 3);

  std::vector<Array> args;
  for (int i = 0; i < nrhs; ++i) {
    bool plausible = in.ConsumeIntegralInRange<int>(0, 11) != 0;
    if (i == 0) {
      args.push_back(plausible ? mexhost::charArray(in.ConsumeBool() ? path : path + ".missing")
                               : hostfuzz::randomArray(in));
    } else if (i == 1 && plausible) {
      args.push_back(randomStruct(in,
                                  {"fs", "nChans", "BinaryFormat", "nPoints", "scale", "endian", "dataOffset",
                                   "recordSamples", "offset"},
                                  nChans, nSel, L, factor, false));
    } else if (i == 2 && plausible) {
      args.push_back(randomStruct(
          in, {"chanidx", "fs", "data", "dataPos", "filt_a", "filt_b", "filt_subsample", "resume", "newest"},
          nChans, nSel, L, factor, true));
    } else {
      args.push_back(hostfuzz::randomArray(in));
    }
  }
  std::string bytes = in.ConsumeRemainingBytesAsString();
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }

  std::vector<const mxArray*> argv;
  for (const Array& a : args) argv.push_back(a.get());
  const size_t arrays = mexhost::liveArrays(), callocs = mexhost::liveCallocs();
  const size_t descriptors = hostfuzz::openDescriptors();
  {
    mexhost::CallResult r = module.call(nlhs, argv);
    countOutcome(r.failed ? r.message : r.warnings.empty() ? "(read)" : "(read, with a warning)");
    if (r.failed && !documentedMessages().count(r.message))
      hostfuzz::fail("eegfetch: undocumented message", r.message);
    if (!r.failed && nlhs > 0 && r.results[0]) {
      const mxArray* x = r.results[0].get();
      if (mxGetClassID(x) != mxDOUBLE_CLASS || mxIsComplex(x))
        hostfuzz::fail("eegfetch", "result is not real double");
    }
    // The host's own out-of-memory error (the result matrix could not be had) jumps out of the
    // module while the data file is open; the module keeps it in a slot of its own and closes it
    // at its next call. That next call must leave the descriptors as they were.
    if (r.failed && r.message == "Out of memory. Type \"help memory\" for your options.") {
      if (module.call(0, {}).message != "Exactly three input arguments required.")
        hostfuzz::fail("eegfetch", "a call without arguments was not refused");
    }
  }
  if (mexhost::liveArrays() != arrays) hostfuzz::fail("eegfetch", "an array was left behind");
  if (mexhost::liveCallocs() != callocs) hostfuzz::fail("eegfetch", "an mxCalloc block was left behind");
  if (hostfuzz::openDescriptors() != descriptors) hostfuzz::fail("eegfetch", "a descriptor was left open");
  return 0;
}
