// libFuzzer targets of the recording readers, one per format (FORMAT_KIND): hostile headers and
// marker files must give a problem with a kind and a text, never a crash, a hang or a leak.
//   1 a BrainVision header, 2 a BrainVision marker file (whole, and grown in two pieces),
//   3 an EDF/BDF file (header, annotations and Status, whole and followed as it grows).
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "follow.h"
#include "fuzz_files.h"

namespace {

using fuzzfiles::write;

void check(bool ok, const eegfmt::Problem& p) { fuzzfiles::check(ok, p, "formats"); }
std::string scratchFile() { return fuzzfiles::scratchFile("eegmex_formats_fuzz"); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  eegfmt::Problem p;
#if FORMAT_KIND == 1
  eegfmt::VhdrHeader h;
  check(eegfmt::parseVhdr(bytes, "/nonexistent/rec.vhdr", h, p), p);
#elif FORMAT_KIND == 2
  std::vector<eegfmt::Marker> markers;
  const bool whole = eegfmt::parseVmrk(bytes, markers, p);
  check(whole, p);
  // The same bytes written in two pieces, followed with an upTo taken from the input, then the
  // finished file (upTo = Inf): where the whole-file reader reads the file, the calls together give
  // its markers.
  const std::string path = scratchFile();
  const size_t cut = size ? data[0] % (size + 1) : 0;
  write(path, data, cut);
  eegfmt::FollowState st;
  eegfmt::StartOver why;
  std::vector<eegfmt::Marker> got, all;
  eegfmt::Problem q;
  bool ok = eegfmt::followMarkers(path, st, size ? data[size - 1] * 16.0 : 1e9, got, why, q);
  all = got;
  if (ok) {
    write(path, data, size);
    ok = eegfmt::followMarkers(path, st, HUGE_VAL, got, why, q);
    all.insert(all.end(), got.begin(), got.end());
  }
  check(ok, q);
  if (whole) {
    const auto key = [](const std::vector<eegfmt::Marker>& ms) {
      std::vector<std::string> k;
      for (const eegfmt::Marker& m : ms)
        k.push_back(m.type + '\n' + m.description + '\n' + std::to_string(m.position) + '\n' + m.date);
      std::sort(k.begin(), k.end());
      return k;
    };
    if (!ok || key(all) != key(markers)) {
      std::fprintf(stderr, "formats: the follower's markers differ from the whole-file reader's\n");
      std::abort();
    }
  }
#else
  const std::string path = scratchFile();
  write(path, data, size);
  eegfmt::EdfHeader h;
  std::vector<eegfmt::EdfEvent> events;
  const bool ok = eegfmt::readEdf(path, h, &events, p);
  check(ok, p);
  if (ok) {
    const eegfmt::RecordLayout layout = eegfmt::recordLayout(path, h);
    eegfmt::FollowState st;
    eegfmt::StartOver why;
    std::vector<eegfmt::EdfEvent> got;
    eegfmt::Problem q;
    check(eegfmt::followRecords(layout, st, size ? data[size - 1] * 64.0 : 0, got, why, q), q);
    check(eegfmt::followRecords(layout, st, 1e18, got, why, q), q);
  }
#endif
  return 0;
}
