// A temporary file holding given bytes, removed when the object goes; for the core and gateway tests.
#ifndef TESTS_EEGFETCH_TEMP_FILE_H
#define TESTS_EEGFETCH_TEMP_FILE_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace eegtest {

class TempFile {
 public:
  explicit TempFile(const std::vector<unsigned char>& bytes) {
    char pattern[] = "/tmp/eegfetch_test_XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) std::abort();
    path_ = pattern;
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0) std::abort();
      done += static_cast<std::size_t>(w);
    }
    close(fd);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace eegtest

#endif
