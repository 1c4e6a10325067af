// The Windows harness run under wine: loads the .mexw32/.mexw64 modules into the embedded host
// (libmx.dll/libmex.dll) and prints one "PASS name" or "FAIL name: detail" line per check and a
// final "N passed, N failed" line. The script that runs it judges by these lines, since wine can
// exit with status 0 after a failure.
#ifndef EEGMEX_TESTS_WINDOWS_HARNESS_H
#define EEGMEX_TESTS_WINDOWS_HARNESS_H

#include <cstdint>
#include <string>
#include <vector>

namespace harness {

struct Paths {
  std::string data;    // recordings and Linux results (Windows path)
  std::string build;   // the Windows build directory (Windows path)
  std::string suffix;  // ".mexw32" or ".mexw64"
};

// Records and prints one check; returns `ok`.
bool check(bool ok, const std::string& name, const std::string& detail = "");

bool readFile(const std::string& path, std::vector<unsigned char>& bytes);
bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes);
int64_t nowNs();  // the monotonic clock the simulated port library stamps its log with
void sleepMs(unsigned ms);

void eegfetchSuite(const Paths& paths);
void trigoutSuite(const Paths& paths);
// Runs only when EEGMEX_TEST_COM names a COM port with a far end logging to EEGMEX_TEST_COM_LOG.
void serialSuite(const Paths& paths);

}  // namespace harness

#endif
