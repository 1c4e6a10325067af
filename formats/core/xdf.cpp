#include "xdf.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace eegfmt {

namespace {

constexpr int64_t kXmlLimit = int64_t(64) << 20;  // bytes of one header's or footer's XML
constexpr size_t kWindow = size_t(1) << 20;       // bytes a walk reads at a time
constexpr int kMaxDepth = 256;
constexpr int kMaxChannels = 1 << 20;

uint64_t littleEndian(const unsigned char* p, int n) noexcept {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

double doubleAt(const unsigned char* p) noexcept {
  const uint64_t bits = littleEndian(p, 8);
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

// ---- XML

struct XmlParser {
  std::string_view s;
  size_t i = 0;
  std::string& error;

  bool fail(const char* what) {
    error = format("XML not well formed at byte %llu: %s", static_cast<unsigned long long>(i), what);
    return false;
  }
  bool startsWith(std::string_view t) const { return s.substr(i, t.size()) == t; }
  static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  static bool isNameChar(char c) {
    return !isSpace(c) && c != '<' && c != '>' && c != '/' && c != '=' && c != '"' && c != '\'' && c != '&' &&
           c != '?' && c != '!' && c != 0;
  }
  void skipSpace() {
    while (i < s.size() && isSpace(s[i])) ++i;
  }
  bool skipPast(std::string_view end, const char* what) {
    const size_t k = s.find(end, i);
    if (k == std::string_view::npos) return fail(what);
    i = k + end.size();
    return true;
  }
  bool name(std::string& out) {
    const size_t b = i;
    while (i < s.size() && isNameChar(s[i])) ++i;
    if (i == b) return fail("a name was expected");
    out.assign(s.substr(b, i - b));
    return true;
  }
  // Character data up to the next '<' (or a quote), entities resolved.
  bool text(std::string& out, char stop) {
    while (i < s.size() && s[i] != stop) {
      if (stop == '<' && s[i] == '>') {
        ++i, out += '>';
        continue;
      }
      if (s[i] != '&') {
        if (stop != '<' && s[i] == '<') return fail("'<' inside an attribute value");
        out += s[i++];
        continue;
      }
      const size_t semi = s.find(';', i);
      if (semi == std::string_view::npos || semi - i > 12) return fail("an entity without its ';'");
      const std::string_view e = s.substr(i + 1, semi - i - 1);
      if (e == "lt")
        out += '<';
      else if (e == "gt")
        out += '>';
      else if (e == "amp")
        out += '&';
      else if (e == "quot")
        out += '"';
      else if (e == "apos")
        out += '\'';
      else if (e.size() > 1 && e[0] == '#') {
        uint32_t cp = 0;
        const bool hex = e[1] == 'x' || e[1] == 'X';
        const std::string_view digits = e.substr(hex ? 2 : 1);
        if (digits.empty()) return fail("an empty character reference");
        for (char c : digits) {
          int d = c >= '0' && c <= '9'          ? c - '0'
                  : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                : -1;
          if (d < 0 || cp > 0x10FFFF) return fail("a character reference that is no number");
          cp = cp * (hex ? 16 : 10) + d;
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
          return fail("a character reference to no character");
        if (cp < 0x80)
          out += char(cp);
        else if (cp < 0x800)
          out += char(0xC0 | cp >> 6), out += char(0x80 | (cp & 0x3F));
        else if (cp < 0x10000)
          out += char(0xE0 | cp >> 12), out += char(0x80 | (cp >> 6 & 0x3F)), out += char(0x80 | (cp & 0x3F));
        else
          out += char(0xF0 | cp >> 18), out += char(0x80 | (cp >> 12 & 0x3F)),
              out += char(0x80 | (cp >> 6 & 0x3F)), out += char(0x80 | (cp & 0x3F));
      } else {
        return fail("an unknown entity");
      }
      i = semi + 1;
    }
    return true;
  }
  // Comments, processing instructions and a document type between elements.
  bool misc(bool& any) {
    any = true;
    if (startsWith("<!--")) return skipPast("-->", "a comment without its end");
    if (startsWith("<?")) return skipPast("?>", "a processing instruction without its end");
    if (startsWith("<!DOCTYPE")) return skipPast(">", "a document type without its end");
    any = false;
    return true;
  }
  bool element(XmlNode& node, int depth) {
    if (depth > kMaxDepth) return fail("elements nested too deep");
    ++i;  // '<'
    if (!name(node.name)) return false;
    for (;;) {  // attributes, read and dropped
      skipSpace();
      if (i >= s.size()) return fail("a start tag without its end");
      if (s[i] == '/') {
        if (!startsWith("/>")) return fail("'/' inside a start tag");
        i += 2;
        return true;
      }
      if (s[i] == '>') {
        ++i;
        break;
      }
      std::string attr, value;
      if (!name(attr)) return false;
      skipSpace();
      if (i >= s.size() || s[i] != '=') return fail("an attribute without '='");
      ++i;
      skipSpace();
      if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) return fail("an attribute value without quotes");
      const char q = s[i++];
      if (!text(value, q)) return false;
      if (i >= s.size()) return fail("an attribute value without its closing quote");
      ++i;
    }
    std::string own;
    for (;;) {
      if (!text(own, '<')) return false;
      if (i >= s.size()) return fail("an element without its end tag");
      bool any = false;
      if (startsWith("</")) {
        i += 2;
        std::string end;
        if (!name(end)) return false;
        if (end != node.name) return fail("an end tag that does not match its start tag");
        skipSpace();
        if (i >= s.size() || s[i] != '>') return fail("an end tag without '>'");
        ++i;
        node.text.assign(trim(own));
        return true;
      }
      if (startsWith("<![CDATA[")) {
        const size_t k = s.find("]]>", i);
        if (k == std::string_view::npos) return fail("a CDATA section without its end");
        own.append(s.substr(i + 9, k - i - 9));
        i = k + 3;
        continue;
      }
      if (startsWith("<!--") || startsWith("<?")) {
        if (!misc(any)) return false;
        continue;
      }
      if (startsWith("<!")) return fail("a declaration inside an element");
      node.children.emplace_back();
      if (!element(node.children.back(), depth + 1)) return false;
    }
  }
  bool document(XmlNode& root) {
    if (startsWith("\xEF\xBB\xBF")) i += 3;
    bool seenRoot = false;
    for (;;) {
      skipSpace();
      if (i >= s.size()) break;
      bool any = false;
      if (!misc(any)) return false;
      if (any) continue;
      if (s[i] != '<' || seenRoot)
        return fail(seenRoot ? "content after the root element" : "text outside the root element");
      if (!element(root, 1)) return false;
      seenRoot = true;
    }
    if (!seenRoot) return fail("no root element");
    return true;
  }
};

// ---- reading

// Reads a window of a chunk's bytes, a megabyte at a time, so that a walk through a chunk of any size
// holds little.
struct Cursor {
  const InputFile& file;
  int64_t pos, end;
  std::vector<unsigned char> buffer;
  int64_t bufferAt = 0;
  size_t bufferLength = 0;
  bool readFailed = false;

  Cursor(const InputFile& f, int64_t from, int64_t to) : file(f), pos(from), end(to) {}
  // n bytes from pos, contiguous; null when the chunk ends before (or a read fails).
  const unsigned char* need(size_t n) {
    if (int64_t(n) > end - pos) return nullptr;
    if (pos >= bufferAt && pos + int64_t(n) <= bufferAt + int64_t(bufferLength))
      return &buffer[size_t(pos - bufferAt)];
    size_t want = std::max(n, kWindow);
    if (int64_t(want) > end - pos) want = size_t(end - pos);
    buffer.resize(want);
    if (!file.readAt(pos, buffer.data(), want)) {
      readFailed = true;
      bufferLength = 0;
      return nullptr;
    }
    bufferAt = pos;
    bufferLength = want;
    return buffer.data();
  }
};

bool readBytes(const InputFile& file, int64_t at, int64_t n, std::string& out, Problem& p) {
  out.resize(size_t(n));
  if (n > 0 && !file.readAt(at, &out[0], size_t(n)))
    return fail(p, ProblemKind::file, "cannot read the file");
  return true;
}

bool infoFromXml(XdfStream& s, const XmlNode& root, int64_t at, Problem& p) {
  const char* where = "chunk at byte %lld (StreamHeader) of stream %u: %s";
  const long long a = static_cast<long long>(at);
  s.name = root.childText("name");
  s.type = root.childText("type");
  s.sourceId = root.childText("source_id");
  s.hostname = root.childText("hostname");
  s.uid = root.childText("uid");
  double count = 0, rate = 0;
  if (!parseWhole(root.childText("channel_count"), count) || count < 1 || count > kMaxChannels)
    return fail(p, ProblemKind::damaged, where, a, s.id,
                "channel_count is not a whole number from 1 to 1048576");
  s.channelCount = static_cast<int>(count);
  const std::string rateText = root.childText("nominal_srate");
  if (rateText.empty())
    rate = 0;
  else if (!parseNumber(rateText, rate) || !(rate >= 0) || std::isinf(rate))
    return fail(p, ProblemKind::damaged, where, a, s.id, "nominal_srate is not a number >= 0");
  s.nominalRate = rate;
  s.formatText = root.childText("channel_format");
  static const XdfFormat all[] = {XdfFormat::int8,    XdfFormat::int16,    XdfFormat::int32, XdfFormat::int64,
                                  XdfFormat::float32, XdfFormat::double64, XdfFormat::string};
  bool known = false;
  for (XdfFormat f : all)
    if (s.formatText == xdfFormatName(f)) s.format = f, known = true;
  if (!known)
    return fail(p, ProblemKind::unsupported,
                "chunk at byte %lld (StreamHeader) of stream %u: channel_format \"%s\" is none of int8, "
                "int16, int32, int64, float32, double64, string",
                a, s.id, s.formatText.c_str());
  s.labels.assign(size_t(s.channelCount), std::string());
  s.units = s.labels;
  s.channelTypes = s.labels;
  const XmlNode* desc = root.child("desc");
  const XmlNode* channels = desc ? desc->child("channels") : nullptr;
  if (channels) {
    size_t k = 0;
    for (const XmlNode& c : channels->children) {
      if (c.name != "channel" || k >= s.labels.size()) continue;
      s.labels[k] = c.childText("label");
      s.units[k] = c.childText("unit");
      s.channelTypes[k] = c.childText("type");
      ++k;
    }
  }
  return true;
}

// The least bytes one sample of the stream takes.
int64_t leastSampleBytes(const XdfStream& s) noexcept {
  return 1 + int64_t(s.channelCount) * (s.format == XdfFormat::string ? 2 : xdfValueBytes(s.format));
}

const char* plural(int64_t n) { return n == 1 ? "" : "s"; }

}  // namespace

const char* xdfTagName(uint16_t tag) noexcept {
  static const char* names[] = {"unknown",     "FileHeader", "StreamHeader", "Samples",
                                "ClockOffset", "Boundary",   "StreamFooter"};
  return tag >= 1 && tag <= 6 ? names[tag] : names[0];
}

const char* xdfFormatName(XdfFormat f) noexcept {
  switch (f) {
    case XdfFormat::int8: return "int8";
    case XdfFormat::int16: return "int16";
    case XdfFormat::int32: return "int32";
    case XdfFormat::int64: return "int64";
    case XdfFormat::float32: return "float32";
    case XdfFormat::double64: return "double64";
    default: return "string";
  }
}

int xdfValueBytes(XdfFormat f) noexcept {
  switch (f) {
    case XdfFormat::int8: return 1;
    case XdfFormat::int16: return 2;
    case XdfFormat::int32:
    case XdfFormat::float32: return 4;
    case XdfFormat::int64:
    case XdfFormat::double64: return 8;
    default: return 0;
  }
}

const XmlNode* XmlNode::child(std::string_view n) const noexcept {
  for (const XmlNode& c : children)
    if (c.name == n) return &c;
  return nullptr;
}

std::string XmlNode::childText(std::string_view n) const {
  const XmlNode* c = child(n);
  return c ? c->text : std::string();
}

bool parseXml(std::string_view text, XmlNode& root, std::string& error) {
  root = XmlNode();
  XmlParser parser{text, 0, error};
  return parser.document(root);
}

int64_t XdfStream::valueBytes() const noexcept { return int64_t(channelCount) * xdfValueBytes(format); }

XdfStream* XdfFile::find(uint32_t id) noexcept {
  for (XdfStream& s : streams)
    if (s.id == id) return &s;
  return nullptr;
}
const XdfStream* XdfFile::find(uint32_t id) const noexcept {
  for (const XdfStream& s : streams)
    if (s.id == id) return &s;
  return nullptr;
}

bool continueXdf(const InputFile& file, XdfFile& f, bool withTimes, Problem& p) {
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  f.fileBytes = length;
  f.truncatedWarning.clear();
  if (f.wholeBytes == 0) {
    unsigned char magic[4];
    if (length < 4 || !file.readAt(0, magic, 4) || std::memcmp(magic, "XDF:", 4) != 0)
      return fail(p, ProblemKind::damaged, "not an XDF file: it does not start with \"XDF:\"");
    f.wholeBytes = 4;
  }
  std::vector<bool> changed(f.streams.size(), false);
  int64_t at = f.wholeBytes;
  std::string content;
  XmlNode xml;
  std::string xmlError;
  while (at < length) {
    unsigned char head[40];
    const int64_t got = std::min<int64_t>(sizeof head, length - at);
    if (!file.readAt(at, head, size_t(got))) return fail(p, ProblemKind::file, "cannot read the file");
    const long long a = static_cast<long long>(at);
    const int n = head[0];
    if (n != 1 && n != 4 && n != 8)
      return fail(p, ProblemKind::damaged, "chunk at byte %lld: its length takes %d bytes, not 1, 4 or 8", a,
                  n);
    if (got < 1 + n + 2) {
      f.truncatedWarning = format("chunk at byte %lld is cut short by the end of the file (%lld bytes)", a,
                                  static_cast<long long>(length));
      break;
    }
    const uint64_t chunkLength = littleEndian(head + 1, n);
    const uint16_t tag = static_cast<uint16_t>(littleEndian(head + 1 + n, 2));
    if (chunkLength < 2)
      return fail(p, ProblemKind::damaged,
                  "chunk at byte %lld: its length %llu is less than its tag's 2 bytes", a,
                  static_cast<unsigned long long>(chunkLength));
    if (tag < 1 || tag > 6)
      return fail(p, ProblemKind::damaged,
                  "chunk at byte %lld has tag %u, none of FileHeader (1), StreamHeader (2), Samples (3), "
                  "ClockOffset (4), Boundary (5), StreamFooter (6)",
                  a, tag);
    const int64_t contentAt = at + 1 + n + 2;
    if (chunkLength - 2 > uint64_t(length - contentAt)) {
      f.truncatedWarning = format(
          "chunk at byte %lld (%s) runs past the end of the file (%lld bytes): a recording "
          "still being written, or a cut file; the streams end before it",
          a, xdfTagName(tag), static_cast<long long>(length));
      break;
    }
    const int64_t contentBytes = int64_t(chunkLength - 2);
    const int64_t end = contentAt + contentBytes;
    const unsigned char* c = head + 1 + n + 2;  // the content's first bytes read so far
    const int64_t cHave = got - (1 + n + 2);
    const char* tagName = xdfTagName(tag);
    XdfStream* s = nullptr;
    uint32_t id = 0;
    if (tag != 1 && tag != 5) {
      if (contentBytes < 4)
        return fail(p, ProblemKind::damaged, "chunk at byte %lld (%s) is too short for a stream id", a,
                    tagName);
      id = static_cast<uint32_t>(littleEndian(c, 4));
      s = f.find(id);
      if (tag == 2 && s)
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (StreamHeader): stream %u has a header already", a, id);
      if (tag != 2 && !s)
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (%s) is of stream %u, which has no header before it", a, tagName, id);
    }
    if (tag == 1 || tag == 2 || tag == 6) {
      const int64_t skip = tag == 1 ? 0 : 4;
      if (contentBytes - skip > kXmlLimit)
        return fail(p, ProblemKind::unsupported, "chunk at byte %lld (%s): its XML is larger than 64 MB", a,
                    tagName);
      if (!readBytes(file, contentAt + skip, contentBytes - skip, content, p)) return false;
      if (!parseXml(content, xml, xmlError))
        return fail(p, ProblemKind::damaged, "chunk at byte %lld (%s): %s", a, tagName, xmlError.c_str());
      if (tag == 1) {
        f.headerXml = content;
      } else if (tag == 2) {
        f.streams.emplace_back();
        changed.push_back(false);
        XdfStream& t = f.streams.back();
        t.id = id;
        t.headerAt = at;
        t.headerXml = content;
        t.firstTime = t.lastTime = NAN;
        if (!infoFromXml(t, xml, at, p)) return false;
      } else {
        s->footerXml = content;
        s->footer = true;
      }
    } else if (tag == 3) {
      if (contentBytes < 5 || cHave < 5)
        return fail(p, ProblemKind::damaged, "chunk at byte %lld (Samples) is too short for its sample count",
                    a);
      const int w = c[4];
      if (w != 1 && w != 4 && w != 8)
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (Samples): its sample count takes %d bytes, not 1, 4 or 8", a, w);
      if (contentBytes < 5 + w || cHave < 5 + w)
        return fail(p, ProblemKind::damaged, "chunk at byte %lld (Samples) is too short for its sample count",
                    a);
      const uint64_t count = littleEndian(c + 5, w);
      const int64_t values = contentAt + 5 + w;
      const uint64_t least = uint64_t(leastSampleBytes(*s));
      if (count > uint64_t(end - values) / least)
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (Samples) says it holds %llu sample%s of stream %u, more than its "
                    "%lld bytes can",
                    a, static_cast<unsigned long long>(count), plural(int64_t(count > 1e18 ? 2 : count)), id,
                    static_cast<long long>(end - values));
      if (count > 0) {
        double stamp = NAN;  // the first sample's own time stamp, when the bytes read hold it
        if (cHave >= 5 + w + 9 && c[5 + w] == 8) stamp = doubleAt(c + 5 + w + 1);
        s->chunks.push_back(XdfSamplesChunk{at, values, end, s->sampleCount, int64_t(count), stamp});
        s->sampleCount += int64_t(count);
        changed[size_t(s - f.streams.data())] = true;
      }
    } else if (tag == 4) {
      if (contentBytes < 20 || cHave < 20)
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (ClockOffset) is too short for its two numbers", a);
      s->offsetTimes.push_back(doubleAt(c + 4));
      s->offsetValues.push_back(doubleAt(c + 12));
    }
    at = end;
  }
  f.wholeBytes = at;
  if (!withTimes) return true;
  for (size_t k = 0; k < f.streams.size(); ++k) {
    XdfStream& s = f.streams[k];
    if (!changed[k] || s.sampleCount == 0) continue;
    if (std::isnan(s.firstTime) &&
        !walkSamples(
            file, s, 0, 1, 0, [&](int64_t, double t, const unsigned char*, size_t) { s.firstTime = t; }, p))
      return false;
    if (!timeBefore(file, s, s.sampleCount, s.lastTime, p)) return false;
  }
  return true;
}

bool scanXdf(const std::string& path, XdfFile& f, Problem& p) {
  f = XdfFile();
  f.path = path;
  InputFile file;
  if (!file.open(path)) return fail(p, ProblemKind::file, "cannot open the file");
  return continueXdf(file, f, true, p);
}

bool walkSamples(const InputFile& file, const XdfStream& s, int64_t from, int64_t count, double previousTime,
                 const std::function<void(int64_t, double, const unsigned char*, size_t)>& fn, Problem& p) {
  if (count <= 0 || from < 0 || from >= s.sampleCount) return true;
  const double step = s.nominalRate > 0 ? 1.0 / s.nominalRate : 0.0;
  const int64_t valueBytes = s.valueBytes();
  const bool text = s.format == XdfFormat::string;
  size_t c = size_t(std::upper_bound(s.chunks.begin(), s.chunks.end(), from,
                                     [](int64_t v, const XdfSamplesChunk& k) { return v < k.first; }) -
                    s.chunks.begin()) -
             1;
  double t = previousTime;
  const int64_t last = std::min(s.sampleCount, from + count);
  for (; c < s.chunks.size() && s.chunks[c].first < last; ++c) {
    const XdfSamplesChunk& k = s.chunks[c];
    Cursor cur(file, k.values, k.end);
    for (int64_t i = k.first; i < k.first + k.count && i < last; ++i) {
      const unsigned char* b = cur.need(1);
      int64_t stamp = b ? b[0] : 0;
      if (b && stamp != 0 && stamp != 8) {
        return fail(
            p, ProblemKind::damaged,
            "chunk at byte %lld (Samples): sample %lld of stream %u has a time stamp of %d bytes, not 0 or 8",
            static_cast<long long>(k.at), static_cast<long long>(i - k.first), s.id, int(stamp));
      }
      size_t bytes = size_t(1 + stamp + (text ? 0 : valueBytes));
      if (b && text) {  // the values' own lengths
        for (int v = 0; v < s.channelCount && b; ++v) {
          b = cur.need(bytes + 1);
          if (!b) break;
          const int w = b[bytes];
          if (w != 1 && w != 4 && w != 8) {
            return fail(p, ProblemKind::damaged,
                        "chunk at byte %lld (Samples): a text of sample %lld of stream %u has a length of %d "
                        "bytes, not 1, 4 or 8",
                        static_cast<long long>(k.at), static_cast<long long>(i - k.first), s.id, w);
          }
          b = cur.need(bytes + 1 + size_t(w));
          if (!b) break;
          const uint64_t n = littleEndian(b + bytes + 1, w);
          if (n > uint64_t(k.end - cur.pos)) {
            b = nullptr;
            break;
          }
          bytes += 1 + size_t(w) + size_t(n);
        }
      }
      if (b) b = cur.need(bytes);
      if (!b) {
        if (cur.readFailed) return fail(p, ProblemKind::file, "cannot read the file");
        return fail(p, ProblemKind::damaged,
                    "chunk at byte %lld (Samples): sample %lld of stream %u runs past the chunk's end",
                    static_cast<long long>(k.at), static_cast<long long>(i - k.first), s.id);
      }
      t = stamp ? doubleAt(b + 1) : t + step;
      if (i >= from) fn(i, t, b + 1 + stamp, bytes - size_t(1 + stamp));
      cur.pos += int64_t(bytes);
    }
  }
  return true;
}

bool timeBefore(const InputFile& file, const XdfStream& s, int64_t index, double& time, Problem& p) {
  time = 0;
  if (index <= 0 || s.chunks.empty()) return true;
  if (index > s.sampleCount) index = s.sampleCount;
  size_t c = size_t(std::upper_bound(s.chunks.begin(), s.chunks.end(), index - 1,
                                     [](int64_t v, const XdfSamplesChunk& k) { return v < k.first; }) -
                    s.chunks.begin()) -
             1;
  for (; c > 0; --c) {  // back to a chunk whose first sample has its own time stamp
    unsigned char b = 0;
    if (!file.readAt(s.chunks[c].values, &b, 1)) return fail(p, ProblemKind::file, "cannot read the file");
    if (b == 8) break;
  }
  return walkSamples(
      file, s, s.chunks[c].first, index - s.chunks[c].first, 0,
      [&](int64_t, double t, const unsigned char*, size_t) { time = t; }, p);
}

double xdfValue(XdfFormat f, const unsigned char* b) noexcept {
  switch (f) {
    case XdfFormat::int8: return static_cast<int8_t>(b[0]);
    case XdfFormat::int16: return static_cast<int16_t>(littleEndian(b, 2));
    case XdfFormat::int32: return static_cast<int32_t>(littleEndian(b, 4));
    case XdfFormat::int64: return static_cast<double>(static_cast<int64_t>(littleEndian(b, 8)));
    case XdfFormat::float32: {
      const uint32_t bits = static_cast<uint32_t>(littleEndian(b, 4));
      float v;
      std::memcpy(&v, &bits, 4);
      return v;
    }
    case XdfFormat::double64: return doubleAt(b);
    default: return NAN;
  }
}

bool xdfTexts(const unsigned char* b, size_t n, std::vector<std::string>& texts) {
  texts.clear();
  size_t i = 0;
  while (i < n) {
    const int w = b[i];
    if ((w != 1 && w != 4 && w != 8) || n - i - 1 < size_t(w)) return false;
    const uint64_t len = littleEndian(b + i + 1, w);
    i += 1 + size_t(w);
    if (len > n - i) return false;
    texts.emplace_back(reinterpret_cast<const char*>(b + i), size_t(len));
    i += size_t(len);
  }
  return true;
}

void correctedTimes(const XdfStream& s, double* times, size_t n) noexcept {
  const size_t m = s.offsetTimes.size();
  if (m == 0) return;
  const double* c = s.offsetTimes.data();
  for (size_t i = 0; i < n; ++i) {
    // The last measurement collected strictly before t; the first when none is. Collection times are
    // taken in file order, as written (they rise in every file a recorder writes).
    const double t = times[i];
    size_t k = size_t(std::lower_bound(c, c + m, t) - c);
    k = k == 0 ? 0 : k - 1;
    times[i] = t + s.offsetValues[k];
  }
}

bool xdfTimes(const InputFile& file, const XdfStream& s, std::vector<double>& times, Problem& p) {
  times.clear();
  times.reserve(size_t(s.sampleCount));
  if (!walkSamples(
          file, s, 0, s.sampleCount, 0,
          [&](int64_t, double t, const unsigned char*, size_t) { times.push_back(t); }, p))
    return false;
  correctedTimes(s, times.data(), times.size());
  return true;
}

namespace {

// The events of stream s from sample `from` on, times corrected, appended to out.
bool streamEvents(const InputFile& file, const XdfStream& s, int64_t from, std::vector<XdfEvent>& out,
                  Problem& p) {
  const bool text = s.format == XdfFormat::string;
  const size_t first = out.size();
  double before = 0;
  if (from > 0 && !timeBefore(file, s, from, before, p)) return false;
  bool ok = true;
  std::vector<std::string> texts;
  if (!walkSamples(
          file, s, from, s.sampleCount - from, before,
          [&](int64_t, double t, const unsigned char* v, size_t n) {
            XdfEvent e;
            e.stream = s.id;
            e.time = t;
            if (text) {
              if (!xdfTexts(v, n, texts)) ok = false;
              for (size_t k = 0; k < texts.size(); ++k) e.text += (k ? ", " : "") + texts[k];
              e.value = NAN;
            } else {
              e.value = n ? xdfValue(s.format, v) : NAN;
              for (int k = 0; k < s.channelCount; ++k)
                e.text +=
                    (k ? ", " : "") + format("%.17g", xdfValue(s.format, v + k * xdfValueBytes(s.format)));
            }
            out.push_back(std::move(e));
          },
          p))
    return false;
  if (!ok) return fail(p, ProblemKind::damaged, "stream %u: a text value does not fit its sample", s.id);
  std::vector<double> times(out.size() - first);
  for (size_t k = first; k < out.size(); ++k) times[k - first] = out[k].time;
  correctedTimes(s, times.data(), times.size());
  for (size_t k = first; k < out.size(); ++k) out[k].time = times[k - first];
  return true;
}

bool isEventStream(const XdfStream& s) { return s.format == XdfFormat::string || !(s.nominalRate > 0); }

}  // namespace

bool nearestSample(const InputFile& file, const XdfStream& target, double time, double& position,
                   Problem& p) {
  position = 0;
  const auto& chunks = target.chunks;
  if (chunks.empty()) return true;
  // The last chunk whose first sample's time is at or before `time` (chunks without a time stamp of
  // their own count by the time walked to them).
  const auto startOf = [&](size_t c, double& t) -> bool {
    if (!std::isnan(chunks[c].firstStamp)) {
      t = chunks[c].firstStamp;
      correctedTimes(target, &t, 1);
      return true;
    }
    double before = 0;
    if (!timeBefore(file, target, chunks[c].first + 1, before, p)) return false;
    t = before;
    correctedTimes(target, &t, 1);
    return true;
  };
  size_t lo = 0, hi = chunks.size();  // chunks [0, lo) start at or before; [hi, end) after
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    double t = 0;
    if (!startOf(mid, t)) return false;
    if (t <= time)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0) return position = 1, true;
  const XdfSamplesChunk& c = chunks[lo - 1];
  std::vector<double> times;
  double before = 0;
  if (!timeBefore(file, target, c.first, before, p)) return false;
  const int64_t n = std::min(c.count + 1, target.sampleCount - c.first);  // and the next chunk's first
  if (!walkSamples(
          file, target, c.first, n, before,
          [&](int64_t, double t, const unsigned char*, size_t) { times.push_back(t); }, p))
    return false;
  correctedTimes(target, times.data(), times.size());
  const size_t k = size_t(std::lower_bound(times.begin(), times.end(), time) - times.begin());
  size_t nearest = k;  // the first at or after the time, or the one before when that is as near
  if (k == times.size() || (k > 0 && time - times[k - 1] <= times[k] - time)) nearest = k - 1;
  position = double(c.first + int64_t(nearest) + 1);
  return true;
}

bool xdfEvents(const InputFile& file, const XdfFile& f, const XdfStream* target, std::vector<XdfEvent>& out,
               Problem& p) {
  out.clear();
  for (const XdfStream& s : f.streams)
    if (isEventStream(s) && !streamEvents(file, s, 0, out, p)) return false;
  std::stable_sort(out.begin(), out.end(),
                   [](const XdfEvent& a, const XdfEvent& b) { return a.time < b.time; });
  if (target)
    for (XdfEvent& e : out)
      if (!nearestSample(file, *target, e.time, e.position, p)) return false;
  return true;
}

bool followXdfEvents(const InputFile& file, const XdfFile& f, const XdfStream* target, double upTo,
                     std::vector<double>& taken, std::vector<XdfEvent>& out, Problem& p) {
  out.clear();
  taken.resize(f.streams.size(), 0.0);
  std::vector<XdfEvent> mine;
  for (size_t k = 0; k < f.streams.size(); ++k) {
    const XdfStream& s = f.streams[k];
    if (!isEventStream(s)) continue;
    const int64_t from = int64_t(taken[k]);
    if (from < 0 || from > s.sampleCount)
      return fail(p, ProblemKind::damaged, "stream %u holds fewer samples than were followed before", s.id);
    mine.clear();
    if (!streamEvents(file, s, from, mine, p)) return false;
    size_t ready = 0;
    for (; ready < mine.size(); ++ready) {
      if (target && !nearestSample(file, *target, mine[ready].time, mine[ready].position, p)) return false;
      // An event past the frames read waits, with all after it; so does one at the last sample of a
      // target still being written, which a later sample may lie nearer to.
      if (target && (mine[ready].position > upTo ||
                     (!target->footer && mine[ready].position >= double(target->sampleCount))))
        break;
    }
    out.insert(out.end(), mine.begin(), mine.begin() + std::ptrdiff_t(ready));
    taken[k] = double(from + int64_t(ready));
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const XdfEvent& a, const XdfEvent& b) { return a.time < b.time; });
  return true;
}

}  // namespace eegfmt
