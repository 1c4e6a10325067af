#include <windows.h>

#include <cstdio>

#include "harness.h"

namespace harness {

namespace {
int g_passed = 0;
int g_failed = 0;
}  // namespace

bool check(bool ok, const std::string& name, const std::string& detail) {
  if (ok) {
    ++g_passed;
    std::printf("PASS %s\n", name.c_str());
  } else {
    ++g_failed;
    std::printf("FAIL %s%s%s\n", name.c_str(), detail.empty() ? "" : ": ", detail.c_str());
  }
  std::fflush(stdout);
  return ok;
}

bool readFile(const std::string& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  unsigned char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return true;
}

bool writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

int64_t nowNs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return (c.QuadPart / f.QuadPart) * 1000000000 + (c.QuadPart % f.QuadPart) * 1000000000 / f.QuadPart;
}

void sleepMs(unsigned ms) { Sleep(ms); }

}  // namespace harness

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR BUILD_DIR\n", argv[0]);
    return 2;
  }
  harness::Paths paths{argv[1], argv[2], sizeof(void*) == 4 ? ".mexw32" : ".mexw64"};
  std::printf("harness: %d-bit, data %s, build %s\n", static_cast<int>(8 * sizeof(void*)), argv[1], argv[2]);
  harness::eegfetchSuite(paths);
  harness::trigoutSuite(paths);
  harness::serialSuite(paths);
  std::printf("%d passed, %d failed\n", harness::g_passed, harness::g_failed);
  std::fflush(stdout);
  return harness::g_failed == 0 && harness::g_passed > 0 ? 0 : 1;
}
