// Text of recording files: whole files as bytes, code pages, lines, trimming and numbers written
// in the C locale's notation. Plain functions over strings; nothing here knows a host.
#ifndef EEGMEX_FORMATS_TEXT_H
#define EEGMEX_FORMATS_TEXT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "problem.h"

namespace eegfmt {

// The whole file at `path` into `bytes`. False with a ProblemKind::file problem ("cannot open the
// file") when it cannot be opened or is not a regular file, or a read fails.
bool readWholeFile(const std::string& path, std::string& bytes, Problem& p);

// A file opened for reading in binary mode, closed with the object.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile() { close(); }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  bool open(const std::string& path);  // false for a missing file or one that is not regular
  void close();
  std::FILE* get() const { return f_; }
  int64_t length() const;  // bytes now, or -1
  // Reads n bytes at `at` into `out`; false when fewer are there or the read fails.
  bool readAt(int64_t at, void* out, size_t n) const;

 private:
  std::FILE* f_ = nullptr;
};

// True when `s` is well-formed UTF-8: no overlong forms, surrogates or code points past U+10FFFF.
bool isValidUtf8(std::string_view s) noexcept;
// Latin-1 (ISO-8859-1) bytes as UTF-8.
std::string latin1ToUtf8(std::string_view s);
// Windows-1252 bytes as UTF-8, byte by byte: the five bytes it leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) stand for the control characters of the same number, as in Latin-1. A byte's
// character never depends on the bytes around it, so any split of the bytes decodes the same.
std::string windows1252ToUtf8(std::string_view s);
// UTF-8 when it is valid UTF-8, else Latin-1 turned into UTF-8.
std::string utf8OrLatin1(std::string_view s);

// Without the whitespace and NUL bytes at either end (" \t\n\v\f\r\0").
std::string_view trim(std::string_view s) noexcept;
bool equalsNoCase(std::string_view a, std::string_view b) noexcept;  // ASCII letters only
std::string lowerAscii(std::string_view s);
std::string upperAscii(std::string_view s);
// `s` with every occurrence of `from` replaced by `to`.
std::string replaceAll(std::string_view s, std::string_view from, std::string_view to);
// The lines of `s`, split at "\r\n", "\n" or "\r".
std::vector<std::string_view> splitLines(std::string_view s);
// The fields of `s` between the separator bytes (n separators give n + 1 fields).
std::vector<std::string_view> splitFields(std::string_view s, char separator);

// A number in the C locale's notation after trimming: [+-](digits[.digits]|.digits)[(e|E)[+-]digits].
// False for anything else (and `value` unchanged).
bool parseNumber(std::string_view s, double& value) noexcept;
// A whole number after trimming: [+-]digits. False for anything else.
bool parseWhole(std::string_view s, double& value) noexcept;
// True when `s` is one or more ASCII digits and nothing else.
bool allDigits(std::string_view s) noexcept;

// printf into a std::string.
std::string format(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
std::string vformat(const char* fmt, va_list args);

// A path as it is when absolute ("/x", "\x", "C:\x", "C:/x"), otherwise joined to `folder`.
bool isAbsolutePath(std::string_view path) noexcept;
std::string joinPath(std::string_view folder, std::string_view name);
// The folder part of a path: everything before its last separator ("" when it has none).
std::string folderOf(std::string_view path);
// The current folder joined with `path` when it is not absolute.
std::string absolutePath(std::string_view path);
bool isRegularFile(const std::string& path);

// A 53-bit digest of bytes (FNV-1a folded), exact as a double.
double digest53(const void* data, size_t n) noexcept;

}  // namespace eegfmt

#endif
