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
  if (!st.started) {
    why = StartOver::firstCall;
  } else if (st.file != path) {
    why = StartOver::anotherFile;
  } else if (length < static_cast<int64_t>(st.point)) {
    why = StartOver::shorter;
  } else {
    double head = 0, tail = 0;
    if (!digestOf(file, 0, static_cast<int64_t>(st.headBytes), head) ||
        !digestOf(file, static_cast<int64_t>(st.checkAt), static_cast<int64_t>(st.point - st.checkAt), tail))
      return fail(p, ProblemKind::file, "cannot read the file");
    if (head != st.headDigest || tail != st.checkDigest) why = StartOver::changedBytes;
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
  st.point = static_cast<double>(point);
  st.checkAt = static_cast<double>(std::max<int64_t>(0, point - kCheckBytes));
  const int64_t head = std::min(point, headBytes);
  if (!digestOf(file, static_cast<int64_t>(st.checkAt), point - static_cast<int64_t>(st.checkAt),
                st.checkDigest) ||
      !digestOf(file, 0, head, st.headDigest))
    return fail(p, ProblemKind::file, "cannot read the file");
  st.headBytes = static_cast<double>(head);
  return true;
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
  const int64_t from = static_cast<int64_t>(st.point);
  std::string bytes(static_cast<size_t>(length - from), '\0');
  if (!bytes.empty() && !file.readAt(from, &bytes[0], bytes.size()))
    return fail(p, ProblemKind::file, "cannot read the file");
  std::string_view rest = bytes;
  int64_t taken = from;
  if (from == 0 && rest.size() >= 3 && rest.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    rest.remove_prefix(3);  // a byte order mark
    taken = 3;
  }
  std::string text;
  while (!rest.empty()) {
    // A whole line: up to "\n", or "\r" followed by a byte other than "\n". The last line waits.
    size_t end = rest.find_first_of("\r\n");
    if (end == std::string_view::npos) break;
    size_t next = end + 1;
    if (rest[end] == '\r') {
      if (next >= rest.size()) break;  // "\r\n" may be half written
      if (rest[next] == '\n') ++next;
    }
    if (st.codePage == 0) {  // not named yet: a whole "Codepage=" line names it
      CodePage named = CodePage::unknown;
      if (!namedCodePage(rest.substr(0, end), named, p)) return false;
      st.codePage = static_cast<double>(named);
    }
    if (!decodeText(rest.substr(0, end), static_cast<CodePage>(static_cast<int>(st.codePage)), text, p))
      return false;
    const int64_t lineNo = static_cast<int64_t>(st.line) + 1;
    const std::string_view line = trim(text);
    if (lineNo == 1) {
      if (!isMarkerFileFirstLine(text))
        return fail(p, ProblemKind::damaged, "the first line is not a BrainVision marker line but \"%s\"",
                    text.c_str());
    } else if (isMarkerInfosLine(text)) {
      if (st.section != 0) return fail(p, ProblemKind::damaged, "the [Marker Infos] section appears twice");
      st.section = 1;
    } else if (st.section == 1) {
      if (isSectionLine(line)) {
        st.section = 2;
      } else if (!line.empty() && line[0] != ';' && line[0] != '#') {
        Marker m;
        if (!parseMarkerLine(line, lineNo, m, p)) return false;
        if (m.position > upTo) break;  // its data is not read yet
        out.push_back(std::move(m));
      }
    }
    st.line = static_cast<double>(lineNo);
    taken += static_cast<int64_t>(next);
    rest.remove_prefix(next);
  }
  return takeUpTo(file, taken, kCheckBytes, st, p);
}

bool followRecords(const RecordLayout& layout, FollowState& st, double upTo, std::vector<EdfEvent>& out,
                   StartOver& why, Problem& p) {
  out.clear();
  InputFile file;
  if (!file.open(layout.path)) return fail(p, ProblemKind::file, "cannot open the file");
  const int64_t length = file.length();
  if (length < 0) return fail(p, ProblemKind::file, "cannot read the file");
  if (!stillValid(layout.path, file, length, st, why, p)) return false;

  const size_t nChans = layout.recordSamples.size();
  std::vector<int64_t> spanAt(nChans + 1, 0);
  for (size_t c = 0; c < nChans; ++c)
    spanAt[c + 1] = spanAt[c] + int64_t(layout.recordSamples[c]) * layout.bytesPerSample;
  const int64_t recordBytes = spanAt[nChans];
  if (recordBytes <= 0) return fail(p, ProblemKind::damaged, "the records hold no samples");
  const int64_t records = length > layout.dataOffset ? (length - layout.dataOffset) / recordBytes : 0;
  const auto readFailed = [&] { return fail(p, ProblemKind::file, "cannot read the data records"); };

  // Annotations: record after record, in the order of the channels and of their lists.
  const int64_t annFrom = static_cast<int64_t>(st.annRecord);
  std::vector<std::vector<EdfEvent>> perRecord(static_cast<size_t>(std::max<int64_t>(0, records - annFrom)));
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
            st.firstOnset =
                !tals.empty() && !tals[0].texts.empty() && tals[0].texts[0].empty() ? tals[0].onset : 0;
          }
          auto& events = perRecord[static_cast<size_t>(record - annFrom)];
          for (const Tal& t : tals)
            for (std::string_view text : t.texts)
              if (!text.empty())
                events.push_back(annotationEvent(t.onset - st.firstOnset, t.duration, text, layout.fs));
        });
    if (!ok) return readFailed();
  }
  int64_t annRecord = records > annFrom ? records : annFrom;
  double annSkip = records > annFrom ? 0 : st.annSkip;
  for (int64_t r = annFrom; r < records; ++r) {
    const auto& events = perRecord[static_cast<size_t>(r - annFrom)];
    size_t k = r == annFrom ? static_cast<size_t>(st.annSkip) : 0;
    for (; k < events.size() && events[k].position <= upTo; ++k) out.push_back(events[k]);
    if (k < events.size()) {
      annRecord = r;
      annSkip = static_cast<double>(k);
      break;
    }
  }
  st.annRecord = static_cast<double>(annRecord);
  st.annSkip = annSkip;

  // Status: each change of the low 16 bits to a value other than 0 is an event at its onset.
  if (layout.statusChan >= 0) {
    const size_t c = static_cast<size_t>(layout.statusChan);
    const int64_t perRec = layout.recordSamples[c];
    const int64_t total = records * perRec;
    int64_t next = static_cast<int64_t>(st.statusNext);
    unsigned previous = static_cast<unsigned>(st.statusPrevious);
    if (next < total) {
      struct Change {
        int64_t at;
        unsigned low, word;
      };
      std::vector<Change> changes;
      int64_t index = next / perRec * perRec;
      unsigned last = previous;
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
      for (size_t k = 0; k < changes.size(); ++k) {
        const double onset = static_cast<double>(changes[k].at) / layout.statusRate;
        const double position = positionOf(onset, layout.fs);
        if (position > upTo) {
          stop = changes[k].at;
          break;
        }
        previous = changes[k].low;
        if (changes[k].low == 0) continue;
        EdfEvent e;
        e.status = true;
        e.onset = onset;
        e.duration = k + 1 < changes.size()
                         ? static_cast<double>(changes[k + 1].at - changes[k].at) / layout.statusRate
                         : NAN;
        e.text = format("%u", changes[k].low);
        e.value = changes[k].low;
        e.statusWord = changes[k].word;
        e.position = position;
        out.push_back(std::move(e));
      }
      if (stop == total && !changes.empty()) previous = changes.back().low;
      st.statusNext = static_cast<double>(stop);
      st.statusPrevious = previous;
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const EdfEvent& a, const EdfEvent& b) {
    if (a.onset != b.onset) return a.onset < b.onset;
    return !a.status && b.status;
  });
  // The header up to the record count, which a writer may rewrite as it goes, is checked too.
  return takeUpTo(file, layout.dataOffset + records * recordBytes, std::min<int64_t>(236, layout.dataOffset),
                  st, p);
}

}  // namespace eegfmt
