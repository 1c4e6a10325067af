// How a reader of recording files reports what stops it: the kind (which becomes the last part of
// the host's identifier, "eegmex_edf:damaged") and a text that names the field and what is wrong
// with it. The host puts "<caller>: <file>: " before the text.
#ifndef EEGMEX_FORMATS_PROBLEM_H
#define EEGMEX_FORMATS_PROBLEM_H

#include <cstdarg>
#include <string>

namespace eegfmt {

enum class ProblemKind { none, file, damaged, unsupported };

struct Problem {
  ProblemKind kind = ProblemKind::none;
  std::string text;
  explicit operator bool() const noexcept { return kind != ProblemKind::none; }
};

// "file", "damaged", "unsupported" ("" for none).
const char* problemKindName(ProblemKind kind) noexcept;

// Sets `p` to a printf-formatted text of `kind`; returns false, so that a check reads
// `return fail(p, ProblemKind::damaged, "...", ...)`.
bool fail(Problem& p, ProblemKind kind, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace eegfmt

#endif
