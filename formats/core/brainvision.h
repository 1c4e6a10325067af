// BrainVision recordings: the text header (.vhdr) and the marker file (.vmrk) of the
// .vhdr/.vmrk/.eeg triple. Host-free: the Octave/MATLAB functions eegmex_vhdr and eegmex_vmrk and
// any other host turn these records into their own values.
//
// Both files are read whole once their first line is theirs (a file of another kind is refused
// after its first bytes), and decoded: UTF-8 unless they say Codepage=ANSI (Windows-1252, byte by
// byte), and a line that is not valid UTF-8 in a file that names no code page as Latin-1; a leading
// byte order mark is dropped. Every text below is UTF-8. A file is never read partly: either every
// field is right, or the reader returns false with a Problem whose text names the field and what
// is wrong with it.
#ifndef EEGMEX_FORMATS_BRAINVISION_H
#define EEGMEX_FORMATS_BRAINVISION_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "problem.h"

namespace eegfmt {

struct VhdrHeader {
  int fs = 0;                                       // 1e6 / SamplingInterval, a whole number of Hz
  int nChans = 0;                                   // NumberOfChannels
  int binaryFormat = 0;                             // 1 INT_16, 2 INT_32, 3 IEEE_FLOAT_32
  char endian = 'l';                                // 'b' with UseBigEndianOrder=YES
  std::vector<double> scale;                        // each channel's resolution; an empty one is 1
  std::vector<std::string> label, reference, unit;  // "\1" turned back into ','; unit 'µV' when empty
  std::string dataFile, markerFile;                 // beside the header unless absolute
};

// Reads the header at `path` (absolute, or relative to the current folder). Problems: file (the
// header or the data file it names is missing), unsupported (VECTORIZED, ASCII, other binary
// formats, DataType other than TIMEDOMAIN, a rate that is not a whole number of Hz, a code page
// other than UTF-8 and ANSI), damaged (everything else that is not a header).
bool readVhdr(const std::string& path, VhdrHeader& header, Problem& p);
// The same over the file's bytes; `path` is only used for the data and marker file names.
bool parseVhdr(std::string_view bytes, const std::string& path, VhdrHeader& header, Problem& p);

struct Marker {
  std::string type, description;  // "\1" turned back into ','
  double position = 0;            // the data point it sits on, from 1
  double points = 0;              // its length in data points
  double channel = 0;             // 0: all channels
  std::string date;               // a 'New Segment' marker's 20 digits, or ""
  double number = 0;              // n of its Mk<n>
};

// The markers of the file at `path`, in the order of their numbers Mk1, Mk2, ...
bool readVmrk(const std::string& path, std::vector<Marker>& markers, Problem& p);
bool parseVmrk(std::string_view bytes, std::vector<Marker>& markers, Problem& p);

// Code pages of the files, and the lines of a file decoded as the readers above decode it.
enum class CodePage { unknown, utf8, ansi, latin1 };
// The code page a "Codepage=" line of `bytes` names: utf8, ansi or unknown (no such line); false
// with an unsupported problem for any other.
bool namedCodePage(std::string_view bytes, CodePage& page, Problem& p);
// `bytes` decoded as `page` into UTF-8: ansi byte by byte as Windows-1252; utf8 as it is (damaged
// when it is not valid UTF-8); unknown line by line, each line as UTF-8 when it is valid UTF-8 and
// as Latin-1 otherwise; latin1. Whole lines decode the same one at a time as together, so a reader
// that takes a file line by line as it grows decodes it as the whole-file reader does.
bool decodeText(std::string_view bytes, CodePage page, std::string& text, Problem& p);

// Where a reader of a marker file stands after the lines it took. The whole-file reader and the
// follower take each line with takeMarkerLine from this place, so both read a line the same way.
enum class MarkerSection { before, in, after };  // [Marker Infos]: not yet, in it, after it
struct MarkerPlace {
  int64_t line = 0;  // lines taken
  MarkerSection section = MarkerSection::before;
  CodePage codePage = CodePage::unknown;  // what a Codepage line named, for the lines after it
};
// Takes one whole line of a marker file (its bytes, without the line end) at `at`, and moves `at`
// past it: the first line must be a marker file's, a Codepage line names the code page of the
// lines from it on, a second [Marker Infos] is damaged, and a marker line of [Marker Infos] is put
// in `m` with `isMarker` set. `text` is scratch for the decoded line.
bool takeMarkerLine(std::string_view bytes, MarkerPlace& at, std::string& text, Marker& m, bool& isMarker,
                    Problem& p);

// One marker line "Mk<n>=type,description,position,points[,channel[,date]]" (trimmed), of line
// number `lineNo` for the messages. False with a damaged problem when it is not one.
bool parseMarkerLine(std::string_view line, int64_t lineNo, Marker& m, Problem& p);
// True for a "[Section]" line (trimmed).
bool isSectionLine(std::string_view line) noexcept;
// True for the "[Marker Infos]" line, in any case and spacing.
bool isMarkerInfosLine(std::string_view line) noexcept;
// True when `line` is a first line of the marker file ("Brain Vision ... Marker File").
bool isMarkerFileFirstLine(std::string_view line) noexcept;

}  // namespace eegfmt

#endif
