#include "follow.h"

#include <algorithm>
#include <cmath>

#include "text.h"

namespace eegfmt {

const char* startOverText(StartOver why) noexcept {
  switch (why) {
    case StartOver::firstCall: return "first call";
    case StartOver::anotherFile: return "another file";
    case StartOver::shorter: return "shorter";
    case StartOver::changedBytes: return "changed bytes";
    default: return "";
  }
}

namespace {

constexpr int64_t kCheckBytes = 64;
// A marker file's first line is checked from this many bytes before the rest is read.
constexpr int64_t kFirstLineBytes = 4096;

bool digestOf(const InputFile& file, int64_t at, int64_t n, double& out) {
  std::string bytes(static_cast<size_t>(n), '\0');
  if (n > 0 && !file.readAt(at, &bytes[0], bytes.size())) return false;
  out = digest53(bytes.data(), bytes.size());
  return true;
}

// Whether the state still describes the file: the same file, as long as its point, with the same
// bytes at its head and before its point. Otherwise the state is made new and `why` says why.
bool stillValid(const std::string& path, const InputFile& file, int64_t length, FollowState& st,
                StartOver& why, Problem& p) {
  why = StartOver::no;
  const FileCheck& c = st.check;
  if (!st.started) {
    why = StartOver::firstCall;
  } else if (st.file != path) {
    why = StartOver::anotherFile;
  } else if (length < c.point) {
    why = StartOver::shorter;
  } else {
    double head = 0, tail = 0;
    if (!digestOf(file, 0, c.headBytes, head) || !digestOf(file, c.checkAt, c.point - c.checkAt, tail))
      return fail(p, ProblemKind::file, "cannot read the file");
    if (head != c.headDigest || tail != c.checkDigest) why = StartOver::changedBytes;
  }
  if (why != StartOver::no) {
    st = FollowState();
    st.started = true;
    st.file = path;
  }
  return true;
}

// Moves the state's point and records the digests that the next call compares.
bool takeUpTo(const InputFile& file, int64_t point, int64_t headBytes, FollowState& st, Problem& p) {
  FileCheck& c = st.check;
  c.point = point;
  c.checkAt = std::max<int64_t>(0, point - kCheckBytes);
  c.headBytes = std::min(point, headBytes);
  if (!digestOf(file, c.checkAt, point - c.checkAt, c.checkDigest) ||
      !digestOf(file, 0, c.headBytes, c.headDigest))
    return fail(p, ProblemKind::file, "cannot read the file");
  return true;
}

bool startsWithByteOrderMark(std::string_view s) {
  return s.size() >= 3 && s.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

}  // namespace

bool followMarkers(const std::string& path, FollowState& st, double upTo, std::vector<Marker>& out,
                   StartOver& why, Problem& p) {
  out.clear();
  InputFile file;
  if (!file.open(path)) return fail(p, ProblemKind::file, "cannot open the file");
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  if (!stillValid(path, file, length, st, why, p)) return false;
  const bool finished = upTo == HUGE_VAL;  // the writer closed the file: its last line is whole
  const int64_t from = st.check.point;
  std::string bytes, text;
  Marker m;
  bool isMarker = false;
  if (st.markers.line == 0 && length - from > kFirstLineBytes) {
    // The first line from the first bytes alone: a file of another kind is refused after them.
    bytes.resize(static_cast<size_t>(kFirstLineBytes));
    if (!file.readAt(from, &bytes[0], bytes.size()))
      return fail(p, ProblemKind::file, "cannot read the file");
    std::string_view head = bytes;
    if (from == 0 && startsWithByteOrderMark(head)) head.remove_prefix(3);
    MarkerPlace place = st.markers;
    if (!takeMarkerLine(head.substr(0, head.find_first_of("\r\n")), place, text, m, isMarker, p))
      return false;
  }
  bytes.assign(static_cast<size_t>(length - from), '\0');
  if (!bytes.empty() && !file.readAt(from, &bytes[0], bytes.size()))
    return fail(p, ProblemKind::file, "cannot read the file");
  std::string_view rest = bytes;
  int64_t taken = from;
  if (from == 0 && startsWithByteOrderMark(rest)) {
    rest.remove_prefix(3);
    taken = 3;
  }
  while (!rest.empty()) {
    // A whole line: up to "\n", "\r\n", or "\r" followed by a byte other than "\n". A last line
    // without its end waits, and so does a last "\r" (of a "\r\n" half written) unless the file's
    // lines end in "\r" alone or the file is finished.
    size_t end = rest.find_first_of("\r\n"), next = end + 1;
    LineEnd seen = LineEnd::lf;
    if (end == std::string_view::npos) {
      if (!finished) break;
      end = next = rest.size();
      seen = st.lineEnd;
    } else if (rest[end] == '\r') {
      if (next < rest.size()) {
        seen = rest[next] == '\n' ? LineEnd::crlf : LineEnd::cr;
        if (seen == LineEnd::crlf) ++next;
      } else if (finished || st.lineEnd == LineEnd::cr) {
        seen = LineEnd::cr;
      } else {
        break;
      }
    }
    MarkerPlace place = st.markers;
    if (!takeMarkerLine(rest.substr(0, end), place, text, m, isMarker, p)) return false;
    if (isMarker && m.position > upTo) break;  // its data is not read yet
    st.markers = place;
    if (st.lineEnd == LineEnd::unknown) st.lineEnd = seen;
    if (isMarker) out.push_back(std::move(m));
    taken += static_cast<int64_t>(next);
    rest.remove_prefix(next);
  }
  return takeUpTo(file, taken, kCheckBytes, st, p);
}

RecordLayout recordLayout(const std::string& path, const EdfHeader& h) {
  RecordLayout l;
  l.path = path;
  l.dataOffset = h.headerBytes;
  l.bytesPerSample = h.bytesPerSample;
  for (const EdfSignal& s : h.signals) {
    l.recordSamples.push_back(s.samples);
    l.annotation.push_back(s.annotation);
  }
  l.statusChan = h.statusChan;
  l.fs = h.fs;
  if (h.statusChan >= 0) l.statusRate = h.signals[static_cast<size_t>(h.statusChan)].rate;
  return l;
}

namespace {

// The records' events from the state on (see followRecords). With `wholeFile`, a status value still
// on at the end lasts until the file's end, as the whole-file reader has it.
bool recordsFrom(const InputFile& file, int64_t length, const RecordLayout& layout, FollowState& st,
                 double upTo, bool wholeFile, std::vector<EdfEvent>& out, Problem& p) {
  const size_t nChans = layout.recordSamples.size();
  std::vector<int64_t> spanAt(nChans + 1, 0);
  for (size_t c = 0; c < nChans; ++c)
    spanAt[c + 1] = spanAt[c] + int64_t(layout.recordSamples[c]) * layout.bytesPerSample;
  const int64_t recordBytes = spanAt[nChans];
  if (recordBytes <= 0) return fail(p, ProblemKind::damaged, "the records hold no samples");
  const int64_t records = length > layout.dataOffset ? (length - layout.dataOffset) / recordBytes : 0;
  const auto readFailed = [&] { return fail(p, ProblemKind::file, "cannot read the data records"); };
  RecordPlace& at = st.records;

  // Annotations: record after record, in the order of the channels and of their lists. The first
  // TAL of the first record keeps the time of the first sample; onsets are counted from it.
  const int64_t annFrom = at.annRecord;
  std::vector<EdfEvent> found;
  std::vector<int64_t> foundIn;  // the record of each
  std::vector<Tal> tals;
  bool firstKnown = annFrom > 0;
  for (size_t c = 0; c < nChans && annFrom < records; ++c) {
    if (!layout.annotation[c]) continue;
    const bool ok = forEachRecordSpan(
        file, layout.dataOffset, recordBytes, annFrom, records, spanAt[c], spanAt[c + 1] - spanAt[c],
        [&](int64_t record, std::string_view span) {
          tals.clear();
          scanTals(span, tals);
          if (record == 0 && !firstKnown) {
            firstKnown = true;
            at.firstOnset = timeKeepingOnset(tals);
          }
          for (const Tal& t : tals)
            for (std::string_view text : t.texts)
              if (!text.empty()) {  // not a record's time keeping
                found.push_back(annotationEvent(t.onset - at.firstOnset, t.duration, text, layout.fs));
                foundIn.push_back(record);
              }
        });
    if (!ok) return readFailed();
  }
  std::vector<size_t> order(found.size());
  for (size_t k = 0; k < order.size(); ++k) order[k] = k;
  if (!std::is_sorted(foundIn.begin(), foundIn.end()))  // more than one annotation channel
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return foundIn[a] < foundIn[b]; });
  int64_t annRecord = std::max(records, annFrom), annSkip = records > annFrom ? 0 : at.annSkip;
  int64_t record = -1, inRecord = 0;
  for (size_t k : order) {
    if (foundIn[k] != record) record = foundIn[k], inRecord = 0;
    if (record == annFrom && inRecord < at.annSkip) {
      ++inRecord;
      continue;
    }
    if (found[k].position > upTo) {
      annRecord = record;
      annSkip = inRecord;
      break;
    }
    out.push_back(std::move(found[k]));
    ++inRecord;
  }
  at.annRecord = annRecord;
  at.annSkip = annSkip;

  // Status: each change of the low 16 bits to a value other than 0 starts an event, at its onset,
  // which lasts until the next change.
  if (layout.statusChan >= 0) {
    const size_t c = static_cast<size_t>(layout.statusChan);
    const int64_t perRec = layout.recordSamples[c];
    const int64_t total = records * perRec;
    const int64_t next = at.statusNext;
    if (next < total) {
      struct Change {
        int64_t at;
        unsigned low, word;
      };
      std::vector<Change> changes;
      int64_t index = next / perRec * perRec;
      unsigned last = at.statusPrevious;
      const bool ok = forEachRecordSpan(file, layout.dataOffset, recordBytes, next / perRec, records,
                                        spanAt[c], perRec * 3, [&](int64_t, std::string_view span) {
                                          const auto* b = reinterpret_cast<const unsigned char*>(span.data());
                                          for (size_t i = 0; i + 2 < span.size(); i += 3, ++index) {
                                            if (index < next) continue;
                                            const unsigned low = b[i] | (unsigned(b[i + 1]) << 8);
                                            if (low == last) continue;
                                            changes.push_back({index, low, low | (unsigned(b[i + 2]) << 16)});
                                            last = low;
                                          }
                                        });
      if (!ok) return readFailed();
      int64_t stop = total;  // the first change this call leaves for a later one
      unsigned previous = at.statusPrevious;
      for (size_t k = 0; k < changes.size(); ++k) {
        const double onset = static_cast<double>(changes[k].at) / layout.statusRate;
        const double position = positionOf(onset, layout.fs);
        if (position > upTo) {
          stop = changes[k].at;
          break;
        }
        previous = changes[k].low;
        if (changes[k].low == 0) continue;
        const int64_t end = k + 1 < changes.size() ? changes[k + 1].at : wholeFile ? total : -1;
        EdfEvent e;
        e.kind = EdfEvent::Kind::status;
        e.onset = onset;
        e.duration = end >= 0 ? static_cast<double>(end - changes[k].at) / layout.statusRate : NAN;
        e.text = format("%u", changes[k].low);
        e.value = changes[k].low;
        e.statusWord = changes[k].word;
        e.position = position;
        out.push_back(std::move(e));
      }
      at.statusNext = stop;
      at.statusPrevious = previous;
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const EdfEvent& a, const EdfEvent& b) {
    if (a.onset != b.onset) return a.onset < b.onset;
    return a.kind == EdfEvent::Kind::annotation && b.kind == EdfEvent::Kind::status;
  });
  // The header up to the record count, which a writer may rewrite as it goes, is checked too.
  return takeUpTo(file, layout.dataOffset + records * recordBytes, std::min<int64_t>(236, layout.dataOffset),
                  st, p);
}

}  // namespace

bool followRecords(const RecordLayout& layout, FollowState& st, double upTo, std::vector<EdfEvent>& out,
                   StartOver& why, Problem& p) {
  out.clear();
  InputFile file;
  if (!file.open(layout.path)) return fail(p, ProblemKind::file, "cannot open the file");
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  if (!stillValid(layout.path, file, length, st, why, p)) return false;
  return recordsFrom(file, length, layout, st, upTo, false, out, p);
}

bool recordEvents(const RecordLayout& layout, std::vector<EdfEvent>& out, double& firstOnset, Problem& p) {
  out.clear();
  InputFile file;
  if (!file.open(layout.path)) return fail(p, ProblemKind::file, "cannot open the file");
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  FollowState st;
  st.started = true;
  st.file = layout.path;
  if (!recordsFrom(file, length, layout, st, HUGE_VAL, true, out, p)) return false;
  firstOnset = st.records.firstOnset;
  return true;
}

// ---- the state as numbers

namespace {

constexpr double kMaxWhole = 9007199254740992.0;  // 2^53: every count below is exact

// One field: its name, its value, the range of whole numbers it may take (min > max: any finite
// number), and how a value is put back.
struct Field {
  const char* name;
  double value, min, max;
  void (*set)(FollowState&, double);
};

template <typename T>
T as(double v) {
  return static_cast<T>(static_cast<int64_t>(v));
}

// The fields in their order. A range depends only on fields before it (checkAt and headBytes on
// point), so a state made of the numbers read so far gives the range of the next.
std::vector<Field> fieldsOf(const FollowState& st, bool markers) {
  const FileCheck& c = st.check;
  const double point = static_cast<double>(c.point), checkAt = std::max(0.0, point - kCheckBytes);
  std::vector<Field> f = {
      {"point", point, 0, kMaxWhole, [](FollowState& s, double v) { s.check.point = as<int64_t>(v); }},
      {"checkAt", static_cast<double>(c.checkAt), checkAt, checkAt,
       [](FollowState& s, double v) { s.check.checkAt = as<int64_t>(v); }},
      {"checkDigest", c.checkDigest, 0, kMaxWhole - 1,
       [](FollowState& s, double v) { s.check.checkDigest = v; }},
      {"headBytes", static_cast<double>(c.headBytes), 0, std::min(point, 256.0),
       [](FollowState& s, double v) { s.check.headBytes = as<int64_t>(v); }},
      {"headDigest", c.headDigest, 0, kMaxWhole - 1,
       [](FollowState& s, double v) { s.check.headDigest = v; }},
  };
  if (markers) {
    const MarkerPlace& m = st.markers;
    f.push_back({"line", static_cast<double>(m.line), 0, point,
                 [](FollowState& s, double v) { s.markers.line = as<int64_t>(v); }});
    f.push_back({"section", static_cast<double>(m.section), 0, static_cast<double>(MarkerSection::after),
                 [](FollowState& s, double v) { s.markers.section = as<MarkerSection>(v); }});
    f.push_back({"codePage", static_cast<double>(m.codePage), 0, static_cast<double>(CodePage::ansi),
                 [](FollowState& s, double v) { s.markers.codePage = as<CodePage>(v); }});
    f.push_back({"lineEnd", static_cast<double>(st.lineEnd), 0, static_cast<double>(LineEnd::cr),
                 [](FollowState& s, double v) { s.lineEnd = as<LineEnd>(v); }});
  } else {
    const RecordPlace& r = st.records;
    f.push_back({"statusNext", static_cast<double>(r.statusNext), 0, kMaxWhole,
                 [](FollowState& s, double v) { s.records.statusNext = as<int64_t>(v); }});
    f.push_back({"statusPrevious", static_cast<double>(r.statusPrevious), 0, 65535,
                 [](FollowState& s, double v) { s.records.statusPrevious = as<unsigned>(v); }});
    f.push_back({"annRecord", static_cast<double>(r.annRecord), 0, kMaxWhole,
                 [](FollowState& s, double v) { s.records.annRecord = as<int64_t>(v); }});
    f.push_back({"annSkip", static_cast<double>(r.annSkip), 0, kMaxWhole,
                 [](FollowState& s, double v) { s.records.annSkip = as<int64_t>(v); }});
    f.push_back(
        {"firstOnset", r.firstOnset, 1, 0, [](FollowState& s, double v) { s.records.firstOnset = v; }});
  }
  return f;
}

}  // namespace

std::vector<std::pair<const char*, double>> stateNumbers(const FollowState& st, bool markers) {
  std::vector<std::pair<const char*, double>> out;
  for (const Field& f : fieldsOf(st, markers)) out.emplace_back(f.name, f.value);
  return out;
}

bool stateFromNumbers(bool markers, const std::function<bool(const char*, double&)>& get, FollowState& st,
                      std::string& bad) {
  FollowState s;
  s.started = true;
  s.file = st.file;
  const size_t n = fieldsOf(s, markers).size();
  for (size_t k = 0; k < n; ++k) {
    const Field f = fieldsOf(s, markers)[k];
    double v = 0;
    const bool any = f.min > f.max;
    if (!get(f.name, v) || !std::isfinite(v) || (!any && (v != std::floor(v) || v < f.min || v > f.max))) {
      bad = f.name;
      return false;
    }
    f.set(s, v);
  }
  st = std::move(s);
  return true;
}

}  // namespace eegfmt
