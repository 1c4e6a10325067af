// libFuzzer target of the XDF reader: a hostile file must give a problem with a kind and a text (or a
// listing, with a warning when a chunk is cut), never a crash, a hang or a leak. The bytes are listed
// whole, then grown in two pieces and listed again from where the first listing stopped, and every
// listed stream's samples are walked and their times corrected, and the events found with positions in each.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "xdf.h"

namespace {

using fuzzfiles::write;

void check(bool ok, const eegfmt::Problem& p) { fuzzfiles::check(ok, p, "xdf"); }
std::string scratchFile() { return fuzzfiles::scratchFile("eegmex_xdf_fuzz"); }

void walkAll(const std::string& path, const eegfmt::XdfFile& f) {
  eegfmt::InputFile file;
  if (!file.open(path)) std::abort();
  std::vector<std::string> texts;
  for (const eegfmt::XdfStream& s : f.streams) {
    std::vector<double> times;
    eegfmt::Problem p;
    const bool ok = eegfmt::walkSamples(
        file, s, 0, s.sampleCount, 0,
        [&](int64_t, double t, const unsigned char* v, size_t n) {
          times.push_back(t);
          if (s.format == eegfmt::XdfFormat::string)
            eegfmt::xdfTexts(v, n, texts);
          else if (n)
            eegfmt::xdfValue(s.format, v);
        },
        p);
    check(ok, p);
    eegfmt::correctedTimes(s, times.data(), times.size());
  }
  // The events, with positions in each stream in turn, and followed from nothing.
  std::vector<eegfmt::XdfEvent> events;
  std::vector<double> taken;
  for (const eegfmt::XdfStream& s : f.streams) {
    eegfmt::Problem p;
    check(eegfmt::xdfEvents(file, f, &s, events, p), p);
    check(eegfmt::followXdfEvents(file, f, &s, 1e18, taken, events, p), p);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = scratchFile();
  write(path, data, size);
  eegfmt::XdfFile whole;
  eegfmt::Problem p;
  const bool ok = eegfmt::scanXdf(path, whole, p);
  check(ok, p);
  if (ok) walkAll(path, whole);
  // Grown in two pieces: the first listing goes on from where it stopped.
  const size_t cut = size ? data[size - 1] * (size + 1) / 256 : 0;
  write(path, data, cut);
  eegfmt::XdfFile f;
  eegfmt::InputFile file;
  if (!file.open(path)) std::abort();
  eegfmt::Problem q;
  if (eegfmt::continueXdf(file, f, true, q)) {
    file.close();
    write(path, data, size);
    if (!file.open(path)) std::abort();
    check(eegfmt::continueXdf(file, f, true, q), q);
  } else {
    check(false, q);
  }
  return 0;
}
