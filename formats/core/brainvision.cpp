#include "brainvision.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "text.h"

namespace eegfmt {

namespace {

constexpr ProblemKind kDamaged = ProblemKind::damaged;
constexpr ProblemKind kUnsupported = ProblemKind::unsupported;

// "\1" in a BrainVision text is the comma it stands for.
std::string unescapeCommas(std::string_view v) {
  return v.find("\\1") == std::string_view::npos ? std::string(v) : replaceAll(v, "\\1", ",");
}

std::string_view dropByteOrderMark(std::string_view bytes) {
  if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
      static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF)
    bytes.remove_prefix(3);
  return bytes;
}

// "Brain Vision" or "BrainVision", then `what` somewhere after it.
bool isFirstLine(std::string_view line, std::string_view what) {
  size_t a = line.find("BrainVision"), b = line.find("Brain Vision");
  size_t at = std::min(a, b);
  if (at == std::string_view::npos) return false;
  const size_t end = at + (at == a ? 11 : 12);
  return line.find(what, end) != std::string_view::npos;
}

// The lines of a text file, decoded; a file of blanks only is damaged.
bool textLines(std::string_view bytes, std::string& text, std::vector<std::string_view>& lines, Problem& p) {
  bytes = dropByteOrderMark(bytes);
  CodePage page = CodePage::unknown;
  if (!namedCodePage(bytes, page, p) || !decodeText(bytes, page, text, p)) return false;
  lines = splitLines(text);
  bool blank = true;
  for (std::string_view line : lines)
    if (!trim(line).empty()) blank = false;
  if (blank) return fail(p, kDamaged, "the file is empty");
  return true;
}

// "the first line is not a BrainVision <what> line but "<line>"", the line cut after 100 bytes
// (at a character's start) so that a file of another kind makes a message of a line's length.
bool notFirstLine(Problem& p, const char* what, std::string_view line) {
  size_t n = line.size();
  const char* more = "";
  if (n > 100) {
    n = 100;
    while (n > 0 && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80) --n;
    more = "...";
  }
  return fail(p, kDamaged, "the first line is not a BrainVision %s line but \"%.*s%s\"", what, int(n),
              line.data(), more);
}

// The file at `path` into `bytes`, once its first line passes `isFirst`: the first bytes are read
// alone and checked, so that a file of another kind (a data file given as a header) is refused
// after them, whatever its size.
bool readTextFile(const std::string& path, bool (*isFirst)(std::string_view), const char* what,
                  std::string& bytes, Problem& p) {
  constexpr int64_t kFirstBytes = 4096;
  {
    InputFile file;
    if (!file.open(path)) return fail(p, ProblemKind::file, "cannot open the file");
    const int64_t length = file.length();
    if (length < 0) return fail(p, ProblemKind::file, "cannot open the file");
    std::string head(static_cast<size_t>(std::min(length, kFirstBytes)), '\0');
    if (!head.empty() && !file.readAt(0, &head[0], head.size()))
      return fail(p, ProblemKind::file, "cannot read the file");
    std::string_view rest = dropByteOrderMark(head);
    // The first line, or as much of it as was read: the words that make it the format's come first.
    const std::string_view first = rest.substr(0, rest.find_first_of("\r\n"));
    if (length > kFirstBytes) {  // a shorter file is read whole and parsed anyway
      std::string text;
      decodeText(first, CodePage::unknown, text, p);
      if (!isFirst(text)) return notFirstLine(p, what, text);
    }
  }
  return readWholeFile(path, bytes, p);
}

bool isHeaderFirstLine(std::string_view line) { return isFirstLine(line, "Header File"); }

struct Entry {
  std::string_view name, value;  // in the decoded text, which outlives the sections
};
struct Section {
  std::string name;  // lower case
  std::vector<Entry> entries;
  std::unordered_set<std::string> keys;  // the entries' names in lower case, to find one given twice at once
};

// The key=value lines of the wanted sections (lower-case names). Lines of other sections are not
// looked at; a [Comment] line ends the part that is read.
bool readSections(const std::vector<std::string_view>& lines, const std::vector<std::string>& wanted,
                  std::vector<Section>& sections, Problem& p) {
  Section* current = nullptr;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = trim(lines[i]);
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      const std::string_view head = line.substr(1, line.size() - 2);
      const std::string name = lowerAscii(trim(head));
      if (name == "comment") break;
      current = nullptr;
      if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) {
        for (const Section& s : sections)
          if (s.name == name)
            return fail(p, kDamaged, "the [%.*s] section appears twice", int(head.size()), head.data());
        sections.push_back(Section{name, {}, {}});
        current = &sections.back();
      }
      continue;
    }
    if (!current || line.empty() || line[0] == ';' || line[0] == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0)
      return fail(p, kDamaged, "line %d is neither a comment nor key=value: \"%.*s\"", int(i + 1),
                  int(line.size()), line.data());
    const std::string_view name = trim(line.substr(0, eq));
    const std::string key = lowerAscii(name);
    if (!current->keys.insert(key).second)
      return fail(p, kDamaged, "line %d gives %.*s a second time", int(i + 1), int(name.size()), name.data());
    current->entries.push_back(Entry{name, trim(line.substr(eq + 1))});
  }
  return true;
}

const Section* findSection(const std::vector<Section>& sections, const char* name, Problem& p) {
  const std::string key = lowerAscii(name);
  for (const Section& s : sections)
    if (s.name == key) return &s;
  fail(p, kDamaged, "the header has no [%s] section", name);
  return nullptr;
}

// The value of `key` in section `name`; `fallback` when absent (null: absent is damaged).
bool value(const std::vector<Section>& sections, const char* name, const char* key, const char* fallback,
           std::string& out, Problem& p) {
  const Section* s = findSection(sections, name, p);
  if (!s) return false;
  for (const Entry& e : s->entries)
    if (equalsNoCase(e.name, key)) return out = std::string(e.value), true;
  if (fallback) return out = fallback, true;
  return fail(p, kDamaged, "the [%s] section has no %s", name, key);
}

// [Channel Infos]: Ch<n>=<name>,<reference>,<resolution>[,<unit>[,...]] for n = 1..nChans, each
// exactly once and no other key.
bool channels(const std::vector<Section>& sections, VhdrHeader& h, Problem& p) {
  const Section* s = findSection(sections, "Channel Infos", p);
  if (!s) return false;
  // Each result sized by the entries, never by the header's count alone: fewer entries than
  // channels leave one missing, which is found below.
  const size_t room = std::min(static_cast<size_t>(h.nChans), s->entries.size());
  std::vector<char> seen(room, 0);
  h.label.resize(room);
  h.reference.resize(room);
  h.unit.resize(room);
  h.scale.assign(room, 1);
  for (const Entry& e : s->entries) {
    const int name = int(e.name.size());
    const bool isChannel =
        e.name.size() > 2 && equalsNoCase(e.name.substr(0, 2), "ch") && allDigits(e.name.substr(2));
    if (!isChannel)
      return fail(p, kDamaged, "[Channel Infos] holds \"%.*s\", which is not a channel entry Ch<n>", name,
                  e.name.data());
    double n = 0;
    parseNumber(e.name.substr(2), n);
    if (n < 1 || n > h.nChans)
      return fail(p, kDamaged, "[Channel Infos] has %.*s but NumberOfChannels=%d", name, e.name.data(),
                  h.nChans);
    const std::vector<std::string_view> fields = splitFields(e.value, ',');
    if (fields.size() < 3)
      return fail(p, kDamaged, "%.*s=%.*s has fewer than three fields (name, reference, resolution)", name,
                  e.name.data(), int(e.value.size()), e.value.data());
    double scale = 1;
    const std::string_view resolution = trim(fields[2]);
    if (!resolution.empty() && (!parseNumber(resolution, scale) || !std::isfinite(scale)))
      return fail(p, kDamaged, "the resolution \"%.*s\" of %.*s is not a number", int(fields[2].size()),
                  fields[2].data(), name, e.name.data());
    const size_t k = static_cast<size_t>(n) - 1;
    if (k >= room) continue;  // past the entries: a channel before it is missing
    seen[k] = 1;
    h.label[k] = unescapeCommas(fields[0]);
    h.reference[k] = unescapeCommas(fields[1]);
    h.scale[k] = scale;
    h.unit[k] = fields.size() >= 4 ? std::string(trim(fields[3])) : std::string();
    if (h.unit[k].empty()) h.unit[k] = "\xC2\xB5V";  // µV, the format's default
  }
  const size_t missing = static_cast<size_t>(std::find(seen.begin(), seen.end(), 0) - seen.begin());
  if (missing < static_cast<size_t>(h.nChans))
    return fail(p, kDamaged, "NumberOfChannels=%d but [Channel Infos] has %d entries, without Ch%lld",
                h.nChans, int(s->entries.size()), static_cast<long long>(missing + 1));
  return true;
}

}  // namespace

bool namedCodePage(std::string_view bytes, CodePage& page, Problem& p) {
  page = CodePage::unknown;
  for (std::string_view line : splitLines(bytes)) {
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (line.size() - i < 8 || !equalsNoCase(line.substr(i, 8), "codepage")) continue;
    i += 8;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size() || line[i] != '=') continue;
    ++i;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t end = i;
    while (end < line.size() &&
           !(line[end] == ' ' || line[end] == '\t' || line[end] == '\v' || line[end] == '\f'))
      ++end;
    if (end == i) continue;
    std::string name(line.substr(i, end - i));
    for (char& c : name)
      if (static_cast<unsigned char>(c) > 127) c = '?';
    if (equalsNoCase(name, "ANSI")) {
      page = CodePage::ansi;
    } else if (equalsNoCase(name, "UTF-8")) {
      page = CodePage::utf8;
    } else {
      return fail(p, kUnsupported, "Codepage=%s is not supported, only UTF-8 and ANSI", name.c_str());
    }
    return true;
  }
  return true;
}

bool decodeText(std::string_view bytes, CodePage page, std::string& text, Problem& p) {
  switch (page) {
    case CodePage::ansi: text = windows1252ToUtf8(bytes); return true;
    case CodePage::latin1: text = latin1ToUtf8(bytes); return true;
    case CodePage::utf8:
      if (!isValidUtf8(bytes))
        return fail(p, kDamaged, "the file says Codepage=UTF-8 but is not valid UTF-8");
      text.assign(bytes.data(), bytes.size());
      return true;
    default: break;
  }
  if (isValidUtf8(bytes)) return text.assign(bytes.data(), bytes.size()), true;
  // Line by line: the line ends are the same bytes in UTF-8 and Latin-1.
  text.clear();
  for (size_t at = 0; at < bytes.size();) {
    size_t end = bytes.find_first_of("\r\n", at);
    end = end == std::string_view::npos ? bytes.size() : end;
    const std::string_view line = bytes.substr(at, end - at);
    if (isValidUtf8(line)) {
      text.append(line);
    } else {
      text += latin1ToUtf8(line);
    }
    const size_t next = std::min(bytes.size(), bytes.find_first_not_of("\r\n", end));
    text.append(bytes.substr(end, next - end));
    at = next;
  }
  return true;
}

bool parseVhdr(std::string_view bytes, const std::string& path, VhdrHeader& h, Problem& p) {
  h = VhdrHeader();
  std::string text;
  std::vector<std::string_view> lines;
  if (!textLines(bytes, text, lines, p)) return false;
  if (!isFirstLine(lines[0], "Header File")) return notFirstLine(p, "header", lines[0]);
  std::vector<Section> ini;
  if (!readSections(lines, {"common infos", "binary infos", "channel infos"}, ini, p)) return false;
  const char* common = "Common Infos";
  std::string v;

  if (!value(ini, common, "DataFormat", nullptr, v, p)) return false;
  v = upperAscii(v);
  if (v == "ASCII")
    return fail(p, kUnsupported, "ASCII data (DataFormat=ASCII) is not supported, only BINARY");
  if (v != "BINARY") return fail(p, kUnsupported, "DataFormat=%s is not supported, only BINARY", v.c_str());
  if (!value(ini, common, "DataOrientation", nullptr, v, p)) return false;
  v = upperAscii(v);
  if (v != "MULTIPLEXED")
    return fail(p, kUnsupported, "DataOrientation=%s is not supported, only MULTIPLEXED", v.c_str());
  if (!value(ini, common, "DataType", "TIMEDOMAIN", v, p)) return false;
  if (!equalsNoCase(v, "TIMEDOMAIN"))
    return fail(p, kUnsupported, "DataType=%s is not supported, only TIMEDOMAIN", v.c_str());

  if (!value(ini, "Binary Infos", "BinaryFormat", nullptr, v, p)) return false;
  const char* formats[] = {"INT_16", "INT_32", "IEEE_FLOAT_32"};
  for (int k = 0; k < 3; ++k)
    if (equalsNoCase(v, formats[k])) h.binaryFormat = k + 1;
  if (!h.binaryFormat)
    return fail(p, kUnsupported, "BinaryFormat=%s is not supported, only INT_16, INT_32 and IEEE_FLOAT_32",
                v.c_str());
  if (!value(ini, "Binary Infos", "UseBigEndianOrder", "NO", v, p)) return false;
  v = upperAscii(v);
  if (v == "YES") {
    h.endian = 'b';
  } else if (v == "NO") {
    h.endian = 'l';
  } else {
    return fail(p, kDamaged, "UseBigEndianOrder=%s is neither YES nor NO", v.c_str());
  }

  if (!value(ini, common, "NumberOfChannels", nullptr, v, p)) return false;
  double n = 0;
  if (!allDigits(v) || !parseNumber(v, n) || n < 1 || n > 2147483647.0)
    return fail(p, kDamaged, "NumberOfChannels=%s is not a channel count", v.c_str());
  h.nChans = static_cast<int>(n);

  std::string interval;
  if (!value(ini, common, "SamplingInterval", nullptr, interval, p)) return false;
  double us = 0;
  if (!parseNumber(interval, us) || !(us > 0))
    return fail(p, kDamaged, "SamplingInterval=%s is not a positive number of microseconds",
                interval.c_str());
  const double fs = 1e6 / us;
  const double whole = std::round(fs);
  if (std::fabs(fs - whole) > 1e-9 * fs || whole < 1 || whole > 2147483647.0)
    return fail(p, kUnsupported,
                "SamplingInterval=%s us is %.9g Hz, not a whole number of Hz as eegfetch needs",
                interval.c_str(), fs);
  h.fs = static_cast<int>(whole);

  if (!channels(ini, h, p)) return false;

  const std::string folder = folderOf(path);
  if (!value(ini, common, "DataFile", nullptr, v, p)) return false;
  h.dataFile = joinPath(folder, v);
  if (!value(ini, common, "MarkerFile", nullptr, v, p)) return false;
  h.markerFile = joinPath(folder, v);
  if (!isRegularFile(h.dataFile))
    return fail(p, ProblemKind::file, "the data file %s is missing", h.dataFile.c_str());
  return true;
}

bool readVhdr(const std::string& path, VhdrHeader& header, Problem& p) {
  std::string bytes;
  return readTextFile(path, isHeaderFirstLine, "header", bytes, p) && parseVhdr(bytes, path, header, p);
}

bool isSectionLine(std::string_view line) noexcept {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

bool isMarkerInfosLine(std::string_view line) noexcept {
  line = trim(line);
  if (!isSectionLine(line)) return false;
  return equalsNoCase(trim(line.substr(1, line.size() - 2)), "Marker Infos") &&
         // the pattern allows blanks only between the brackets and the name, not NULs
         line.find('\0') == std::string_view::npos;
}

bool isMarkerFileFirstLine(std::string_view line) noexcept { return isFirstLine(line, "Marker File"); }

bool parseMarkerLine(std::string_view line, int64_t lineNo, Marker& m, Problem& p) {
  const auto notMarker = [&] {
    return fail(p, kDamaged, "line %lld is not a marker Mk<n>=...: \"%.*s\"", static_cast<long long>(lineNo),
                int(line.size()), line.data());
  };
  if (line.size() < 4 || !equalsNoCase(line.substr(0, 2), "mk")) return notMarker();
  size_t i = 2;
  while (i < line.size() && line[i] >= '0' && line[i] <= '9') ++i;
  if (i == 2) return notMarker();
  const std::string_view number = line.substr(2, i - 2);
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\v' || line[i] == '\f')) ++i;
  if (i >= line.size() || line[i] != '=') return notMarker();
  std::string_view f[6];  // no allocation for the fields of a line
  size_t nFields = 0;
  for (std::string_view rest = line.substr(i + 1);; ++nFields) {
    const size_t comma = rest.find(',');
    if (nFields < 6) f[nFields] = rest.substr(0, comma);
    if (comma == std::string_view::npos) {
      ++nFields;
      break;
    }
    rest.remove_prefix(comma + 1);
  }
  if (nFields < 4 || nFields > 6)
    return fail(p, kDamaged, "line %lld has %d fields, not type,description,position,points[,channel[,date]]",
                static_cast<long long>(lineNo), int(nFields));
  std::string_view channel = nFields >= 5 ? f[4] : std::string_view("0");
  double position = 0, points = 0, chan = 0;
  if (!allDigits(trim(f[2])) || !allDigits(trim(f[3])) || !allDigits(trim(channel)) ||
      !parseNumber(trim(f[2]), position) || position < 1 || !parseNumber(trim(f[3]), points) ||
      !parseNumber(trim(channel), chan))
    return fail(p, kDamaged,
                "line %lld: position, points and channel must be whole numbers, position from 1: \"%.*s\"",
                static_cast<long long>(lineNo), int(line.size()), line.data());
  m.type = unescapeCommas(f[0]);
  m.description = unescapeCommas(f[1]);
  m.position = position;
  m.points = points;
  m.channel = chan;
  m.date = nFields >= 6 ? std::string(trim(f[5])) : std::string();
  parseNumber(number, m.number);
  return true;
}

bool takeMarkerLine(std::string_view bytes, MarkerPlace& at, std::string& text, Marker& m, bool& isMarker,
                    Problem& p) {
  isMarker = false;
  if (at.codePage == CodePage::unknown) {  // a Codepage line names it for itself and the lines after
    CodePage named = CodePage::unknown;
    if (!namedCodePage(bytes, named, p)) return false;
    at.codePage = named;
  }
  if (!decodeText(bytes, at.codePage, text, p)) return false;
  const int64_t lineNo = ++at.line;
  const std::string_view line = trim(text);
  if (lineNo == 1) {
    if (!isMarkerFileFirstLine(text)) return notFirstLine(p, "marker", text);
  } else if (isMarkerInfosLine(text)) {
    if (at.section != MarkerSection::before)
      return fail(p, kDamaged, "the [Marker Infos] section appears twice");
    at.section = MarkerSection::in;
  } else if (at.section == MarkerSection::in) {
    if (isSectionLine(line)) {
      at.section = MarkerSection::after;
    } else if (!line.empty() && line[0] != ';' && line[0] != '#') {
      if (!parseMarkerLine(line, lineNo, m, p)) return false;
      isMarker = true;
    }
  }
  return true;
}

bool parseVmrk(std::string_view bytes, std::vector<Marker>& markers, Problem& p) {
  markers.clear();
  bytes = dropByteOrderMark(bytes);
  // Line ends are the same bytes in every code page: the lines are split before they are decoded,
  // and each is taken as the follower takes it.
  const std::vector<std::string_view> lines = splitLines(bytes);
  bool blank = true;
  for (std::string_view line : lines)
    if (!trim(line).empty()) blank = false;
  if (blank) return fail(p, kDamaged, "the file is empty");
  MarkerPlace at;
  std::string text;
  for (std::string_view line : lines) {
    Marker m;
    bool isMarker = false;
    if (!takeMarkerLine(line, at, text, m, isMarker, p)) return false;
    if (isMarker) markers.push_back(std::move(m));
  }
  if (at.section == MarkerSection::before) return fail(p, kDamaged, "the file has no [Marker Infos] section");
  const auto byNumber = [](const Marker& a, const Marker& b) { return a.number < b.number; };
  if (!std::is_sorted(markers.begin(), markers.end(), byNumber))
    std::stable_sort(markers.begin(), markers.end(), byNumber);
  for (size_t k = 1; k < markers.size(); ++k)
    if (markers[k].number == markers[k - 1].number)
      return fail(p, kDamaged, "marker Mk%.0f is given twice", markers[k].number);
  return true;
}

bool readVmrk(const std::string& path, std::vector<Marker>& markers, Problem& p) {
  std::string bytes;
  return readTextFile(path, isMarkerFileFirstLine, "marker", bytes, p) && parseVmrk(bytes, markers, p);
}

}  // namespace eegfmt
