// What the file-reader fuzz targets share: the check that a failure names its problem, and the one
// scratch file of the process that inputs are written to for readers that take a file by name.
#ifndef EEGMEX_FUZZ_FUZZ_FILES_H
#define EEGMEX_FUZZ_FUZZ_FILES_H

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "problem.h"

namespace fuzzfiles {

// A reader that failed must say why: a problem with a kind and a text. `who` names the target.
inline void check(bool ok, const eegfmt::Problem& p, const char* who) {
  if (ok) return;
  if (p.kind == eegfmt::ProblemKind::none || p.text.empty()) {
    std::fprintf(stderr, "%s: a reader failed without a problem\n", who);
    std::abort();
  }
}

// The process's scratch file, made once under /tmp with `stem` in its name.
inline std::string scratchFile(const char* stem) {
  static std::string path;
  if (path.empty()) {
    std::string name = std::string("/tmp/") + stem + "_XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd >= 0) close(fd);
    path = name;
  }
  return path;
}

// Writes the input whole to `path`.
inline void write(const std::string& path, const uint8_t* data, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (n) std::fwrite(data, 1, n, f);
  std::fclose(f);
}

}  // namespace fuzzfiles

#endif
