// Linux side of the wine suite: writes each recording of eegfetch_cases and the result that the
// Linux build of eegfetch returns for it, for the Windows builds to match bit for bit.
//   windows_reference OUTPUT_DIR EEGFETCH_MODULE
#include <cstdio>
#include <string>

#include "eegfetch_cases.h"

namespace {
bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR EEGFETCH_MODULE\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  mexhost::Module eegfetch(argv[2]);
  for (const wincases::EegCase& c : wincases::eegCases()) {
    std::string recording = dir + "/" + c.name + ".eeg";
    if (!writeFile(recording, wincases::recordingBytes(c))) {
      std::fprintf(stderr, "reference: cannot write %s\n", recording.c_str());
      return 1;
    }
    mexhost::Array name = mexhost::charArray(recording);
    mexhost::Array hdr = wincases::header(c);
    mexhost::Array opt = wincases::options(c);
    mexhost::CallResult r = eegfetch.call(1, {name.get(), hdr.get(), opt.get()});
    if (r.failed || r.results.empty() || !r.results[0]) {
      std::fprintf(stderr, "reference: %s failed: %s\n", c.name.c_str(), r.message.c_str());
      return 1;
    }
    if (!writeFile(dir + "/" + c.name + ".out", wincases::encodeResult(r.results[0].get()))) return 1;
    std::printf("reference: %s %zu x %zu\n", c.name.c_str(), mxGetM(r.results[0].get()),
                mxGetN(r.results[0].get()));
  }
  return 0;
}
