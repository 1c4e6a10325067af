// Events of a recording that is still being written, call after call: each call returns the events
// not returned before whose positions lie up to a given frame, and costs the new bytes, not the file.
// Over any growth (markers written before their data, a half-written marker line, a partial record,
// a record count rewritten in the header) the events of all calls together are the whole-file
// reader's, with one difference: a status event comes at its onset, so its duration is NaN when its
// end was not yet in the file.
//
// The state is plain records of numbers and one text, which a host hands to its caller as numbers
// and takes back checked (stateNumbers, stateFromNumbers). A file that shrank, or whose bytes before the
// point changed, starts over from its first byte and says why.
#ifndef EEGMEX_FORMATS_FOLLOW_H
#define EEGMEX_FORMATS_FOLLOW_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "problem.h"

namespace eegfmt {

// How the lines of a marker file end, once its first line end said it.
enum class LineEnd { unknown, lf, crlf, cr };

// What the state checks of the file: its bytes before the point are still those taken.
struct FileCheck {
  int64_t point = 0;       // bytes taken for good: whole lines of markers, whole records
  int64_t checkAt = 0;     // max(0, point - 64)
  double checkDigest = 0;  // digest53 of bytes [checkAt, point)
  int64_t headBytes = 0;   // the head that is checked too: min(point, 64 or the header)
  double headDigest = 0;   // digest53 of the first headBytes bytes
};

// Where a follower of records stands.
struct RecordPlace {
  int64_t statusNext = 0;       // the next status sample to look at, from 0
  unsigned statusPrevious = 0;  // the low 16 bits of the sample before it
  int64_t annRecord = 0;        // the next record whose annotations are due
  int64_t annSkip = 0;          // annotations of that record already returned
  double firstOnset = 0;        // the first record's time keeping, once read (annRecord > 0)
};

struct FollowState {
  bool started = false;  // false: nothing read yet
  std::string file;      // the file followed
  FileCheck check;
  MarkerPlace markers;  // a marker file
  LineEnd lineEnd = LineEnd::unknown;
  RecordPlace records;  // records
};

enum class StartOver { no, firstCall, anotherFile, shorter, changedBytes };
// "", "first call", "another file", "shorter", "changed bytes"
const char* startOverText(StartOver why) noexcept;

// The markers of the file at `path` after the state's point with positions up to `upTo`, in the
// order of their lines. A marker line without its line end yet is left for a later call, and so is
// every line from the first marker past `upTo`. upTo = +Inf says that the writer has closed the
// file: its last line is taken without a line end. Lines that end in CR alone are taken as they
// come once the file's first line end was a CR alone. Problems as the whole-file reader's, for the
// lines read (a marker number given twice is not checked across calls).
bool followMarkers(const std::string& path, FollowState& st, double upTo, std::vector<Marker>& out,
                   StartOver& why, Problem& p);

// What a follower of records needs of the header.
struct RecordLayout {
  std::string path;
  int64_t dataOffset = 0;
  int bytesPerSample = 2;
  std::vector<int32_t> recordSamples;  // per channel
  std::vector<char> annotation;        // per channel: an annotation channel
  int statusChan = -1;                 // 0-based, -1: none
  double fs = 1;                       // the rate positions count in
  double statusRate = 1;               // the Status channel's rate
};
// The layout of a header read by readEdfHeader, for the file at `path`.
RecordLayout recordLayout(const std::string& path, const EdfHeader& h);

// The annotations and status events of the whole records after the state's point, with positions up
// to `upTo`, in the order of onset (annotations first at equal onsets).
bool followRecords(const RecordLayout& layout, FollowState& st, double upTo, std::vector<EdfEvent>& out,
                   StartOver& why, Problem& p);
// The same over the whole file from a new state, with a status value still on at the end lasting
// until the file's end: the whole-file reader's events.
bool recordEvents(const RecordLayout& layout, std::vector<EdfEvent>& out, double& firstOnset, Problem& p);

// The state as named numbers, for a host that hands it to its caller and takes it back: those of
// the file check and those of a marker file (`markers`) or of records.
std::vector<std::pair<const char*, double>> stateNumbers(const FollowState& st, bool markers);
// The state from numbers that `get(name, value)` finds by name. False with `bad` naming the first
// field that is missing or holds a number that the follower never gives (not a whole number, out
// of its range, NaN), and `st` unchanged.
bool stateFromNumbers(bool markers, const std::function<bool(const char*, double&)>& get, FollowState& st,
                      std::string& bad);

}  // namespace eegfmt

#endif
