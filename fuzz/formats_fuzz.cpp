// libFuzzer targets of the recording readers, one per format (FORMAT_KIND): hostile headers and
// marker files must give a problem with a kind and a text, never a crash, a hang or a leak.
//   1 a BrainVision header, 2 a BrainVision marker file (whole, and grown in two pieces),
//   3 an EDF/BDF file (header, annotations and Status, whole and followed as it grows).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "follow.h"

namespace {

void check(bool ok, const eegfmt::Problem& p) {
  if (ok) return;
  if (p.kind == eegfmt::ProblemKind::none || p.text.empty()) {
    std::fprintf(stderr, "formats: a reader failed without a problem\n");
    std::abort();
  }
}

// A file of its own for the inputs a reader takes by name.
std::string scratchFile() {
  static std::string path;
  if (path.empty()) {
    char name[] = "/tmp/eegmex_formats_fuzz_XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) close(fd);
    path = name;
  }
  return path;
}

void write(const std::string& path, const uint8_t* data, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (n) std::fwrite(data, 1, n, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  eegfmt::Problem p;
#if FORMAT_KIND == 1
  eegfmt::VhdrHeader h;
  check(eegfmt::parseVhdr(bytes, "/nonexistent/rec.vhdr", h, p), p);
#elif FORMAT_KIND == 2
  std::vector<eegfmt::Marker> markers;
  check(eegfmt::parseVmrk(bytes, markers, p), p);
  // The same bytes written in two pieces, followed with an upTo taken from the input.
  const std::string path = scratchFile();
  const size_t cut = size ? data[0] % (size + 1) : 0;
  write(path, data, cut);
  eegfmt::FollowState st;
  eegfmt::StartOver why;
  std::vector<eegfmt::Marker> got;
  eegfmt::Problem q;
  if (eegfmt::followMarkers(path, st, size ? data[size - 1] * 16.0 : 1e9, got, why, q)) {
    write(path, data, size);
    check(eegfmt::followMarkers(path, st, 1e18, got, why, q), q);
  } else {
    check(false, q);
  }
#else
  const std::string path = scratchFile();
  write(path, data, size);
  eegfmt::EdfHeader h;
  std::vector<eegfmt::EdfEvent> events;
  const bool ok = eegfmt::readEdf(path, h, &events, p);
  check(ok, p);
  if (ok) {
    eegfmt::RecordLayout layout;
    layout.path = path;
    layout.dataOffset = h.headerBytes;
    layout.bytesPerSample = h.bytesPerSample;
    for (const eegfmt::EdfSignal& s : h.signals) {
      layout.recordSamples.push_back(s.samples);
      layout.annotation.push_back(s.annotation);
    }
    layout.statusChan = h.statusChan;
    layout.fs = h.fs;
    if (h.statusChan >= 0) layout.statusRate = h.signals[static_cast<size_t>(h.statusChan)].rate;
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
