// Events of a recording that is still being written, call after call: each call returns the events
// not returned before whose positions lie up to a given frame, and costs the new bytes, not the file.
// Over any growth (markers written before their data, a half-written marker line, a partial record,
// a record count rewritten in the header) the events of all calls together are the whole-file
// reader's, with one difference: a status event comes at its onset, so its duration is NaN when its
// end was not yet in the file.
//
// The state is plain numbers and one text, so that a host can hand it to its caller and take it
// back. A file that shrank, or whose bytes before the point changed, starts over from its first
// byte and says why.
#ifndef EEGMEX_FORMATS_FOLLOW_H
#define EEGMEX_FORMATS_FOLLOW_H

#include <cstdint>
#include <string>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "problem.h"

namespace eegfmt {

struct FollowState {
  bool started = false;                  // false: nothing read yet
  std::string file;                      // the file followed
  double point = 0;                      // bytes taken for good: whole lines of markers, whole records
  double checkAt = 0, checkDigest = 0;   // digest53 of bytes [checkAt, point)
  double headBytes = 0, headDigest = 0;  // digest53 of the first headBytes bytes
  // A marker file
  double line = 0;      // lines taken
  double section = 0;   // 0 before [Marker Infos], 1 in it, 2 after it
  double codePage = 0;  // a CodePage, once a Codepage line was seen
  // Records
  double statusNext = 0;      // the next status sample to look at, from 0
  double statusPrevious = 0;  // the low 16 bits of the sample before it
  double annRecord = 0;       // the next record whose annotations are due
  double annSkip = 0;         // annotations of that record already returned
  double firstOnset = 0;      // the first record's time keeping, once read (annRecord > 0)
};

enum class StartOver { no, firstCall, anotherFile, shorter, changedBytes };
// "", "first call", "another file", "shorter", "changed bytes"
const char* startOverText(StartOver why) noexcept;

// The markers of the file at `path` after the state's point with positions up to `upTo`, in the
// order of their lines. A marker line without its line end yet is left for a later call, and so is
// every line from the first marker past `upTo`. Problems as the whole-file reader's, for the lines
// read (a marker number given twice is not checked across calls).
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

// The annotations and status events of the whole records after the state's point, with positions up
// to `upTo`, in the order of onset.
bool followRecords(const RecordLayout& layout, FollowState& st, double upTo, std::vector<EdfEvent>& out,
                   StartOver& why, Problem& p);

}  // namespace eegfmt

#endif
