#include "text.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#if defined(_WIN32)
#include <direct.h>
#define getcwd _getcwd
#else
#include <unistd.h>

#include <cerrno>
#endif

namespace eegfmt {

const char* problemKindName(ProblemKind kind) noexcept {
  switch (kind) {
    case ProblemKind::file: return "file";
    case ProblemKind::damaged: return "damaged";
    case ProblemKind::unsupported: return "unsupported";
    default: return "";
  }
}

std::string vformat(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[256];
  const int n = std::vsnprintf(small, sizeof small, fmt, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&out[0], out.size(), fmt, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = vformat(fmt, args);
  va_end(args);
  return out;
}

bool fail(Problem& p, ProblemKind kind, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  p.text = vformat(fmt, args);
  va_end(args);
  p.kind = kind;
  return false;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == S_IFREG;
}

bool InputFile::open(const std::string& path) {
  close();
  if (!isRegularFile(path)) return false;
  f_ = std::fopen(path.c_str(), "rb");
  return f_ != nullptr;
}

void InputFile::close() {
  if (f_) std::fclose(f_);
  f_ = nullptr;
}

namespace {
bool seekTo(std::FILE* f, int64_t at) {
#if defined(_WIN32)
  return _fseeki64(f, at, SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}
}  // namespace

int64_t InputFile::length() const {
  if (!f_) return -1;
#if defined(_WIN32)
  if (_fseeki64(f_, 0, SEEK_END) != 0) return -1;
  return _ftelli64(f_);
#else
  if (fseeko(f_, 0, SEEK_END) != 0) return -1;
  return static_cast<int64_t>(ftello(f_));
#endif
}

bool InputFile::readAt(int64_t at, void* out, size_t n) const {
  if (!f_ || at < 0) return false;
#if defined(_WIN32)
  if (!seekTo(f_, at)) return false;
  return std::fread(out, 1, n, f_) == n;
#else
  // One read of exactly these bytes: no stream buffer in between to fill and throw away.
  auto* to = static_cast<char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fileno(f_), to, n, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    to += got;
    at += got;
    n -= static_cast<size_t>(got);
  }
  return true;
#endif
}

bool readWholeFile(const std::string& path, std::string& bytes, Problem& p) {
  InputFile file;
  if (!file.open(path)) return fail(p, ProblemKind::file, "cannot open the file");
  const int64_t n = file.length();
  if (n < 0 || !seekTo(file.get(), 0)) return fail(p, ProblemKind::file, "cannot open the file");
  bytes.resize(static_cast<size_t>(n));
  if (n > 0 && std::fread(&bytes[0], 1, bytes.size(), file.get()) != bytes.size())
    return fail(p, ProblemKind::file, "cannot read the file");
  return true;
}

bool isValidUtf8(std::string_view s) noexcept {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    const unsigned c = b[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    unsigned lo = 0x80, hi = 0xBF;
    size_t len;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 2;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 3;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (i + len >= n) return false;  // the sequence runs past the end
    if (b[i + 1] < lo || b[i + 1] > hi) return false;
    for (size_t k = 2; k <= len; ++k)
      if (b[i + k] < 0x80 || b[i + k] > 0xBF) return false;
    i += len + 1;
  }
  return true;
}

namespace {
void appendCodePoint(std::string& out, unsigned cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Windows-1252's characters of 0x80..0x9F; 0 where it has none.
constexpr unsigned short kCp1252[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                        0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

std::string latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() + s.size() / 8);
  for (unsigned char c : s) appendCodePoint(out, c);
  return out;
}

std::string windows1252ToUtf8(std::string_view s) {
  std::string text;
  text.reserve(s.size() + s.size() / 8);
  for (unsigned char c : s)
    appendCodePoint(text, c >= 0x80 && c < 0xA0 && kCp1252[c - 0x80] ? kCp1252[c - 0x80] : c);
  return text;
}

std::string utf8OrLatin1(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return isValidUtf8(s) ? std::string(s) : latin1ToUtf8(s);
  return std::string(s);
}

namespace {
bool isSpace(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\0';
}
char lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
char upper(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }
}  // namespace

std::string_view trim(std::string_view s) noexcept {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool equalsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string lowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower(c);
  return out;
}

std::string upperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = upper(c);
  return out;
}

std::string replaceAll(std::string_view s, std::string_view from, std::string_view to) {
  std::string out;
  size_t at = 0;
  for (;;) {
    const size_t hit = s.find(from, at);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(at, hit - at)).append(to);
    at = hit + from.size();
  }
  return out.append(s.substr(at));
}

std::vector<std::string_view> splitLines(std::string_view s) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\n' && s[i] != '\r') continue;
    lines.push_back(s.substr(start, i - start));
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
    start = i + 1;
  }
  lines.push_back(s.substr(start));
  return lines;
}

std::vector<std::string_view> splitFields(std::string_view s, char separator) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != separator) continue;
    fields.push_back(s.substr(start, i - start));
    start = i + 1;
  }
  fields.push_back(s.substr(start));
  return fields;
}

bool allDigits(std::string_view s) noexcept {
  if (s.empty()) return false;
  for (char c : s)
    if (!isDigit(c)) return false;
  return true;
}

bool parseNumber(std::string_view s, double& value) noexcept {
  s = trim(s);
  size_t i = 0;
  const size_t n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  const size_t mantissa = i;
  size_t digits = 0;
  while (i < n && isDigit(s[i])) ++i, ++digits;
  if (i < n && s[i] == '.') {
    ++i;
    while (i < n && isDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0 || (i == mantissa + 1 && s[mantissa] == '.')) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < n && isDigit(s[i])) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  // from_chars takes no '+' and follows no locale; a '-' it takes itself.
  const size_t from = s[0] == '+' ? 1 : 0;
  double v = 0;
  const auto r = std::from_chars(s.data() + from, s.data() + n, v);
  if (r.ec == std::errc::result_out_of_range) {
    // Out of double's range: infinity or zero, as a C reader gives.
    const bool negative = s[0] == '-';
    size_t e = s.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && s.find('-', e) != std::string_view::npos;
    v = tiny ? (negative ? -0.0 : 0.0) : (negative ? -HUGE_VAL : HUGE_VAL);
  } else if (r.ec != std::errc() || r.ptr != s.data() + n) {
    return false;
  }
  value = v;
  return true;
}

bool parseWhole(std::string_view s, double& value) noexcept {
  s = trim(s);
  const size_t from = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (!allDigits(s.substr(from))) return false;
  return parseNumber(s, value);
}

bool isAbsolutePath(std::string_view path) noexcept {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
         path[1] == ':' && (path[2] == '/' || path[2] == '\\');
}

namespace {
bool isSeparator(char c) noexcept {
#if defined(_WIN32)
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}
#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif
}  // namespace

std::string joinPath(std::string_view folder, std::string_view name) {
  if (isAbsolutePath(name) || folder.empty()) return std::string(name);
  std::string out(folder);
  while (out.size() > 1 && isSeparator(out.back())) out.pop_back();
  if (!isSeparator(out.back())) out.push_back(kSeparator);
  return out.append(name);
}

std::string folderOf(std::string_view path) {
  size_t i = path.size();
  while (i > 0 && !isSeparator(path[i - 1])) --i;
  if (i == 0) return std::string();
  if (i == 1) return std::string(path.substr(0, 1));  // the root
  return std::string(path.substr(0, i - 1));
}

std::string absolutePath(std::string_view path) {
  if (isAbsolutePath(path)) return std::string(path);
  std::string here(4096, '\0');
  if (!getcwd(&here[0], here.size())) return std::string(path);
  here.resize(std::strlen(here.c_str()));
  return joinPath(here, path);
}

double digest53(const void* data, size_t n) noexcept {
  uint64_t h = 1469598103934665603ull;
  const auto* b = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < n; ++i) {
    h ^= b[i];
    h *= 1099511628211ull;
  }
  return static_cast<double>((h ^ (h >> 53)) & ((uint64_t(1) << 53) - 1));
}

}  // namespace eegfmt
