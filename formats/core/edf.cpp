#include "edf.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "follow.h"

namespace eegfmt {

namespace {

constexpr ProblemKind kDamaged = ProblemKind::damaged;
constexpr ProblemKind kUnsupported = ProblemKind::unsupported;
constexpr int64_t kMaxRecordBytes = int64_t(1) << 30;  // eegfetch reads a record whole

std::string latin1Text(std::string_view bytes) { return std::string(trim(latin1ToUtf8(bytes))); }

// The bytes as text, with bytes outside printable ASCII as \xHH.
std::string printable(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    if (b >= 32 && b < 127) {
      out.push_back(static_cast<char>(b));
    } else {
      out += format("\\x%02X", b);
    }
  }
  return out;
}

bool wholeField(std::string_view field, const char* name, double& out, Problem& p) {
  const std::string text(trim(field));
  if (!parseWhole(text, out)) return fail(p, kDamaged, "%s \"%s\" is not a whole number", name, text.c_str());
  return true;
}

// The rate of n samples per record of a duration written as text (value d). A duration that fills
// the 8 characters with digits after the point may have had more cut off, unless the rate it gives
// as written is a whole number (then nothing was cut: "+1.0E+00", "1.000000"); a duration without
// digits after the point ("00000001") is exact. Where digits may have been cut off, every rate
// whose duration n / r rounds to the text is a candidate, and the simplest wins: the smallest
// denominator; among those, the largest factor 2^a * 5^b; then the nearest to n / d.
double recordRate(double n, const std::string& text, double d) {
  double r = n / d;
  if (text.size() < 8 || std::fabs(r - std::round(r)) <= 1e-9 * r) return r;
  const size_t ePos = text.find_first_of("eE");
  const std::string mantissa = text.substr(0, ePos);
  double e = 0;
  if (ePos != std::string::npos) parseNumber(text.substr(ePos + 1), e);
  const size_t dot = mantissa.find('.');
  if (dot == std::string::npos || dot + 1 == mantissa.size()) return r;  // no digit after the point
  const double decimals = static_cast<double>(mantissa.size() - dot - 1);
  const double half = 0.5 * std::pow(10.0, e - decimals);
  const double lo = n / (d + half) * (1 - 1e-12);
  const double hi = n / std::max(d - half, d * 1e-3) * (1 + 1e-12);
  for (int q = 1; q <= 1000; ++q) {
    const double pLo = std::ceil(lo * q), pHi = std::floor(hi * q);
    if (pLo > pHi) continue;
    if (pHi - pLo > 1e6) return r;
    double best = -1, bestRound = 0, bestGap = 0;
    for (double pv = pLo; pv <= pHi; pv += 1) {
      double rest = pv, round25 = 1;
      for (double f : {2.0, 5.0})
        while (rest >= 1 && std::fmod(rest, f) == 0) {
          round25 *= f;
          rest /= f;
        }
      const double gap = std::fabs(pv / q - n / d);
      if (best < 0 || round25 > bestRound || (round25 == bestRound && gap < bestGap)) {
        best = pv;
        bestRound = round25;
        bestGap = gap;
      }
    }
    return best / q;
  }
  return r;
}

bool twoDigitTriple(std::string_view s, double out[3]) {
  if (s.size() != 8 || s[2] != '.' || s[5] != '.') return false;
  for (int k = 0; k < 3; ++k) {
    const char a = s[3 * k], b = s[3 * k + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') return false;
    out[k] = (a - '0') * 10 + (b - '0');
  }
  return true;
}

bool startTime(std::string_view dateField, std::string_view timeField, const std::string& recording,
               bool plus, double t[6], Problem& p) {
  double d[3], h[3];
  if (!twoDigitTriple(dateField, d))
    return fail(p, kDamaged, "startdate (bytes 169-176) \"%s\" is not dd.mm.yy",
                latin1ToUtf8(dateField).c_str());
  if (!twoDigitTriple(timeField, h))
    return fail(p, kDamaged, "starttime (bytes 177-184) \"%s\" is not hh.mm.ss",
                latin1ToUtf8(timeField).c_str());
  double year = d[2] + 1900 + (d[2] < 85 ? 100 : 0);
  // An EDF+ recording field "Startdate dd-MMM-yyyy" gives the full year.
  const std::string_view r = recording;
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (plus && r.size() >= 21 && r.compare(0, 10, "Startdate ") == 0 && allDigits(r.substr(10, 2)) &&
      r[12] == '-' && letter(r[13]) && letter(r[14]) && letter(r[15]) && r[16] == '-' &&
      allDigits(r.substr(17, 4)) && (r.size() == 21 || r[21] == ' '))
    parseNumber(r.substr(17, 4), year);
  t[0] = year;
  t[1] = d[1];
  t[2] = d[0];
  t[3] = h[0];
  t[4] = h[1];
  t[5] = h[2];
  return true;
}

}  // namespace

double positionOf(double onset, double fs) noexcept { return std::round(onset * fs) + 1; }

bool parseEdfHeader(std::string_view bytes, int64_t fileBytes, EdfHeader& h, int64_t& needMore, Problem& p) {
  h = EdfHeader();
  needMore = 0;
  if (bytes.size() < 256)
    return fail(p, kDamaged, "the file is %lld bytes, shorter than the 256-byte fixed header",
                static_cast<long long>(fileBytes));
  const auto field = [&](size_t from, size_t to) { return bytes.substr(from - 1, to - from + 1); };
  if (static_cast<unsigned char>(bytes[0]) == 255) {
    h.bdf = true;
    h.bytesPerSample = 3;
  } else if (trim(field(1, 8)) != "0") {
    return fail(p, kDamaged, "version (bytes 1-8) is \"%s\", neither EDF's \"0\" nor a BDF first byte 255",
                printable(field(1, 8)).c_str());
  }
  const double digLo = h.bdf ? -8388608 : -32768, digHi = h.bdf ? 8388607 : 32767;
  h.patient = latin1Text(field(9, 88));
  h.recording = latin1Text(field(89, 168));
  const std::string reserved = latin1Text(field(193, 236));
  h.format = h.bdf ? "BDF" : "EDF";
  const bool plus = reserved.size() >= 5 && (reserved[0] == 'E' || reserved[0] == 'B') &&
                    reserved.compare(1, 3, "DF+") == 0 && (reserved[4] == 'C' || reserved[4] == 'D');
  if (plus) {
    if (reserved[4] == 'D')
      return fail(
          p, kUnsupported,
          "reserved (bytes 193-236) says \"%s\": discontinuous recordings (%s+D, records with gaps between "
          "them) are not supported, only continuous ones",
          reserved.substr(0, 5).c_str(), h.format.c_str());
    h.format += "+C";
  }
  if (!wholeField(field(237, 244), "number of data records (bytes 237-244)", h.recordsInHeader, p))
    return false;
  if (h.recordsInHeader < -1)
    return fail(p, kDamaged,
                "number of data records (bytes 237-244) is %.0f, neither -1 (unknown) nor a count",
                h.recordsInHeader);
  h.durationText = latin1Text(field(245, 252));
  double duration = 0;
  if (!parseNumber(h.durationText, duration) || !(duration > 0))
    return fail(p, kDamaged,
                "duration of a data record (bytes 245-252) \"%s\" is not a positive number of seconds",
                h.durationText.c_str());
  double ns = 0;
  if (!wholeField(field(253, 256), "number of signals (bytes 253-256)", ns, p)) return false;
  if (ns < 1) return fail(p, kDamaged, "number of signals (bytes 253-256) is %.0f, not 1 or more", ns);
  double headerBytes = 0;
  if (!wholeField(field(185, 192), "number of bytes in header (bytes 185-192)", headerBytes, p)) return false;
  if (headerBytes != 256 * (ns + 1))
    return fail(p, kDamaged, "number of bytes in header (bytes 185-192) is %.0f, but %.0f signals make %.0f",
                headerBytes, ns, 256 * (ns + 1));
  if (static_cast<double>(fileBytes) < headerBytes)
    return fail(p, kDamaged, "the file is %lld bytes, shorter than its %.0f-byte header (%.0f signals)",
                static_cast<long long>(fileBytes), headerBytes, ns);
  h.ns = static_cast<int>(ns);  // 4 characters: at most 9999
  h.headerBytes = static_cast<int64_t>(headerBytes);
  if (bytes.size() < static_cast<size_t>(h.headerBytes)) {
    needMore = h.headerBytes;
    return false;
  }

  // The signal headers: each field for all signals, then the next field.
  const size_t n = static_cast<size_t>(h.ns);
  static const size_t widths[10] = {16, 80, 8, 8, 8, 8, 8, 80, 8, 32};
  std::vector<std::vector<std::string>> texts(10);
  size_t at = 256;
  for (int f = 0; f < 10; ++f) {
    texts[f].reserve(n);
    for (size_t k = 0; k < n; ++k, at += widths[f])
      texts[f].push_back(latin1Text(bytes.substr(at, widths[f])));
  }
  h.signals.resize(n);
  for (size_t k = 0; k < n; ++k) {
    EdfSignal& s = h.signals[k];
    s.label = texts[0][k];
    s.transducer = texts[1][k];
    s.unit = texts[2][k];
    s.prefilter = texts[7][k];
    s.annotation = s.label == "EDF Annotations" || s.label == "BDF Annotations";
  }
  // The numbers of one signal field, each checked; whole numbers where counts are wanted. An
  // annotation channel's ranges are not used, so they are not checked.
  const auto numbers = [&](int f, const char* name, bool whole, bool all, std::vector<double>& out) {
    out.assign(n, NAN);
    for (size_t k = 0; k < n; ++k) {
      const EdfSignal& s = h.signals[k];
      std::string text = texts[f][k];
      if (!whole)
        std::replace(text.begin(), text.end(), ',', '.');  // a decimal comma, as some writers put it
      double& v = out[k];
      parseNumber(text, v);
      if ((all || !s.annotation) && (!std::isfinite(v) || (whole && v != std::round(v))))
        return fail(p, kDamaged, "signal %d (%s): %s \"%s\" is not %s", int(k + 1), s.label.c_str(), name,
                    texts[f][k].c_str(), whole ? "a whole number" : "a number");
    }
    return true;
  };
  std::vector<double> physMin, physMax, digMin, digMax, counts;
  if (!numbers(3, "physical minimum", false, false, physMin) ||
      !numbers(4, "physical maximum", false, false, physMax) ||
      !numbers(5, "digital minimum", true, false, digMin) ||
      !numbers(6, "digital maximum", true, false, digMax) ||
      !numbers(8, "number of samples in each data record", true, true, counts))
    return false;
  double recordSamples = 0;
  for (size_t k = 0; k < n; ++k) {
    EdfSignal& s = h.signals[k];
    s.physicalMin = physMin[k];
    s.physicalMax = physMax[k];
    s.digitalMin = digMin[k];
    s.digitalMax = digMax[k];
    const double count = counts[k];
    if (count < 1)
      return fail(p, kDamaged, "signal %d (%s): number of samples in each data record is %.0f, not 1 or more",
                  int(k + 1), s.label.c_str(), count);
    if (count > 2147483647.0)
      return fail(p, kDamaged,
                  "signal %d (%s): number of samples in each data record is %.0f, more than 2147483647",
                  int(k + 1), s.label.c_str(), count);
    s.samples = static_cast<int32_t>(count);
    recordSamples += count;
    if (s.annotation) continue;
    if (!(s.digitalMin < s.digitalMax) || s.digitalMin < digLo || s.digitalMax > digHi)
      return fail(p, kDamaged,
                  "signal %d (%s): digital minimum %.0f and maximum %.0f are not an increasing range within "
                  "%.0f..%.0f",
                  int(k + 1), s.label.c_str(), s.digitalMin, s.digitalMax, digLo, digHi);
    if (s.physicalMin == s.physicalMax) {
      // No scale: the other channels are read, and this one is reported.
      h.unknownScale.push_back(static_cast<int>(k));
      if (h.unknownScaleWarning.empty())
        h.unknownScaleWarning = format(
            "signal %d (%s): physical minimum %s and maximum %s are equal, so its scale is unknown; its "
            "scale "
            "and offset are NaN",
            int(k + 1), s.label.c_str(), texts[3][k].c_str(), texts[4][k].c_str());
    }
  }
  if (h.unknownScale.size() > 1)
    h.unknownScaleWarning += format(" (and %d more signals alike)", int(h.unknownScale.size() - 1));
  if (recordSamples * h.bytesPerSample > static_cast<double>(kMaxRecordBytes))
    return fail(p, kDamaged,
                "number of samples in each data record: the signals make records of %.0f bytes, more "
                "than 1 GiB",
                recordSamples * h.bytesPerSample);
  h.recordBytes = static_cast<int64_t>(recordSamples) * h.bytesPerSample;

  // The rate: the most common samples per record among the data channels (the larger on a tie).
  std::map<int32_t, int> votes;
  for (const EdfSignal& s : h.signals)
    if (!s.annotation) ++votes[s.samples];
  if (votes.empty())
    return fail(p, kUnsupported,
                "label: all %d signals are annotation channels; there are no samples to read", h.ns);
  int most = 0;
  for (const auto& [count, v] : votes)
    if (v >= most) most = v, h.fsSamples = count;
  const double fs = recordRate(h.fsSamples, h.durationText, duration);
  if (std::fabs(fs - std::round(fs)) > 1e-9 * fs || std::round(fs) < 1 || std::round(fs) > 2147483647.0)
    return fail(
        p, kUnsupported,
        "duration of a data record (bytes 245-252) \"%s\" with %d samples per record is %.9g Hz, not a whole "
        "number of Hz as eegfetch needs",
        h.durationText.c_str(), h.fsSamples, fs);
  h.fs = static_cast<int>(std::round(fs));

  if (!startTime(field(169, 176), field(177, 184), h.recording, plus, h.startTime, p)) return false;

  h.nRecords = (fileBytes - h.headerBytes) / h.recordBytes;
  if (h.recordsInHeader >= 0 && static_cast<double>(h.nRecords) < h.recordsInHeader)
    h.truncatedWarning = format(
        "number of data records (bytes 237-244) says %.0f, but the file holds %lld whole records; reading "
        "those",
        h.recordsInHeader, static_cast<long long>(h.nRecords));
  for (size_t k = 0; k < n; ++k) {
    EdfSignal& s = h.signals[k];
    s.rate = static_cast<double>(h.fs) * s.samples / h.fsSamples;
    if (s.annotation) continue;
    if (s.physicalMin == s.physicalMax) {
      s.scale = s.offset = NAN;
    } else {
      s.scale = (s.physicalMax - s.physicalMin) / (s.digitalMax - s.digitalMin);
      s.offset = s.physicalMin - s.digitalMin * s.scale;
    }
    if (h.bdf && h.statusChan < 0 && equalsNoCase(s.label, "Status")) h.statusChan = static_cast<int>(k);
  }
  return true;
}

bool readEdfHeader(const InputFile& file, EdfHeader& h, Problem& p) {
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  std::string bytes(static_cast<size_t>(std::min<int64_t>(length, 256)), '\0');
  if (!bytes.empty() && !file.readAt(0, &bytes[0], bytes.size()))
    return fail(p, ProblemKind::file, "cannot read the file");
  int64_t more = 0;
  if (parseEdfHeader(bytes, length, h, more, p)) return true;
  if (!more) return false;
  bytes.resize(static_cast<size_t>(more));
  if (!file.readAt(0, &bytes[0], bytes.size())) return fail(p, ProblemKind::file, "cannot read the file");
  return parseEdfHeader(bytes, length, h, more, p);
}

void scanTals(std::string_view b, std::vector<Tal>& tals) {
  const size_t n = b.size();
  const auto digit = [&](size_t i) { return i < n && b[i] >= '0' && b[i] <= '9'; };
  // [+-]\d+\.?\d* then, optionally, \x15\d+\.?\d*; returns the end, or npos.
  const auto number = [&](size_t i) {
    if (!digit(i)) return std::string_view::npos;
    while (digit(i)) ++i;
    if (i < n && b[i] == '.') ++i;
    while (digit(i)) ++i;
    return i;
  };
  size_t i = 0;
  // The first NUL at or after the last list's texts: found once for every list that ends there, so
  // that lists without a NUL do not each search the rest of the bytes.
  size_t zero = 0;
  bool zeroFound = false;
  while (i < n) {
    if (b[i] != '+' && b[i] != '-') {
      ++i;
      continue;
    }
    size_t j = number(i + 1);
    size_t onsetEnd = j, durationAt = std::string_view::npos;
    if (j != std::string_view::npos && j < n && b[j] == '\x15') {
      const size_t k = number(j + 1);
      if (k != std::string_view::npos) {
        durationAt = j + 1;
        j = k;
      }
    }
    if (j == std::string_view::npos || j >= n || b[j] != '\x14') {
      ++i;
      continue;
    }
    // The texts run to the first NUL, which must follow a \x14 past the first.
    if (!zeroFound || zero < j + 1) {
      zero = b.find('\0', j + 1);
      zeroFound = true;
    }
    if (zero == std::string_view::npos || zero < j + 2 || b[zero - 1] != '\x14') {
      ++i;
      continue;
    }
    Tal t;
    parseNumber(b.substr(i, onsetEnd - i), t.onset);
    if (durationAt != std::string_view::npos) parseNumber(b.substr(durationAt, j - durationAt), t.duration);
    size_t from = j + 1;
    for (size_t c = j + 1; c < zero; ++c)
      if (b[c] == '\x14') {
        t.texts.push_back(b.substr(from, c - from));
        from = c + 1;
      }
    tals.push_back(std::move(t));
    i = zero + 1;
  }
}

bool forEachRecordSpan(const InputFile& file, int64_t dataOffset, int64_t recordBytes, int64_t from,
                       int64_t to, int64_t spanAt, int64_t spanBytes,
                       const std::function<void(int64_t, std::string_view)>& fn) {
  if (from >= to || spanBytes <= 0) return true;
  constexpr int64_t kChunk = int64_t(1) << 20;
  std::string buffer;
  if (spanBytes * 8 > recordBytes) {  // most of each record is wanted: many whole records a read
    const int64_t perRead = std::max<int64_t>(1, kChunk / recordBytes);
    for (int64_t r = from; r < to; r += perRead) {
      const int64_t count = std::min(perRead, to - r);
      buffer.resize(static_cast<size_t>(count * recordBytes));
      if (!file.readAt(dataOffset + r * recordBytes, &buffer[0], buffer.size())) return false;
      for (int64_t k = 0; k < count; ++k)
        fn(r + k, std::string_view(buffer).substr(static_cast<size_t>(k * recordBytes + spanAt),
                                                  static_cast<size_t>(spanBytes)));
    }
    return true;
  }
  buffer.resize(static_cast<size_t>(spanBytes));
  for (int64_t r = from; r < to; ++r) {
    if (!file.readAt(dataOffset + r * recordBytes + spanAt, &buffer[0], buffer.size())) return false;
    fn(r, buffer);
  }
  return true;
}

EdfEvent annotationEvent(double onset, double duration, std::string_view text, double fs) {
  EdfEvent e;
  e.onset = onset;
  e.duration = duration;
  e.text = utf8OrLatin1(text);
  e.value = NAN;
  e.statusWord = NAN;
  e.position = positionOf(onset, fs);
  return e;
}

namespace {

int64_t spanAt(const EdfHeader& h, int chan) {
  int64_t at = 0;
  for (int c = 0; c < chan; ++c) at += h.signals[static_cast<size_t>(c)].samples;
  return at * h.bytesPerSample;
}

}  // namespace

double timeKeepingOnset(const std::vector<Tal>& tals) noexcept {
  return !tals.empty() && !tals[0].texts.empty() && tals[0].texts[0].empty() ? tals[0].onset : 0;
}

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and back.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) noexcept {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

void civilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) noexcept {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2);
}

int64_t floorDiv(int64_t a, int64_t b) noexcept { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

void addSeconds(double t[6], double seconds) noexcept {
  const double sum = t[5] + seconds;
  // Within the minute, or too far for a calendar (a damaged list): added alone.
  if ((sum >= 0 && sum < 60) || !(std::fabs(seconds) < 1e12)) {
    t[5] = sum;
    return;
  }
  // Whole seconds are carried; the fraction, exact as seconds - floor(seconds), is added last.
  const double whole = std::floor(seconds);
  const double fraction = seconds - whole;
  const int64_t second = static_cast<int64_t>(t[5]) + static_cast<int64_t>(whole) +
                         static_cast<int64_t>(t[4]) * 60 + static_cast<int64_t>(t[3]) * 3600;
  const int64_t days = floorDiv(second, 86400), ofDay = second - days * 86400;
  int64_t y = static_cast<int64_t>(t[0]), m = static_cast<int64_t>(t[1]), d = static_cast<int64_t>(t[2]);
  if (m >= 1 && m <= 12 && d >= 1 && d <= 31) {
    civilFromDays(daysFromCivil(y, m, d) + days, y, m, d);
  } else {
    d += days;  // not a date of the calendar: the days alone
  }
  t[0] = static_cast<double>(y);
  t[1] = static_cast<double>(m);
  t[2] = static_cast<double>(d);
  t[3] = static_cast<double>(ofDay / 3600);
  t[4] = static_cast<double>(ofDay / 60 % 60);
  t[5] = static_cast<double>(ofDay % 60) + fraction;
}

bool readEdf(const std::string& path, EdfHeader& h, std::vector<EdfEvent>* events, Problem& p) {
  InputFile file;
  if (!file.open(path)) return fail(p, ProblemKind::file, "cannot open the file");
  if (!readEdfHeader(file, h, p)) return false;
  double firstOnset = 0;
  if (events) {
    // The follower's events over the whole file: both read the records by the same rules.
    if (!recordEvents(recordLayout(path, h), *events, firstOnset, p)) return false;
  } else {
    // The start time still takes the first record's time keeping, from that record alone.
    for (int c = 0; c < h.ns && h.nRecords > 0; ++c) {
      if (!h.signals[static_cast<size_t>(c)].annotation) continue;
      std::string bytes(static_cast<size_t>(h.signals[static_cast<size_t>(c)].samples) * h.bytesPerSample,
                        '\0');
      if (!file.readAt(h.headerBytes + spanAt(h, c), &bytes[0], bytes.size()))
        return fail(p, ProblemKind::file, "cannot read the data records");
      std::vector<Tal> tals;
      scanTals(bytes, tals);
      firstOnset = timeKeepingOnset(tals);
      break;
    }
  }
  addSeconds(h.startTime, firstOnset);
  return true;
}

}  // namespace eegfmt
