// EDF, EDF+, BDF and BDF+ recordings: the header, the annotations of EDF+/BDF+ annotation channels
// and the changes of a BDF Status channel. Host-free: eegmex_edf, eegmex_events and any other host
// turn these records into their own values.
//
// A header is never read partly: either every field is right, or the reader returns false with a
// Problem whose text names the field by its bytes ("number of signals (bytes 253-256)") or the
// signal ("signal 3 (Fz): digital minimum ..."). Texts are UTF-8 (the header's Latin-1 turned
// into UTF-8).
#ifndef EEGMEX_FORMATS_EDF_H
#define EEGMEX_FORMATS_EDF_H

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "problem.h"
#include "text.h"

namespace eegfmt {

struct EdfSignal {
  std::string label, transducer, unit, prefilter;  // without the spaces that pad them
  double physicalMin = 0, physicalMax = 0, digitalMin = 0, digitalMax = 0;  // NaN when not a number
  int32_t samples = 0;                                                      // per data record, >= 1
  bool annotation = false;  // "EDF Annotations" or "BDF Annotations": no samples, text
  // digital * scale + offset is the sample in its unit; 1 and 0 for annotations, NaN and NaN for a
  // channel whose physical minimum equals its maximum (its scale is unknown)
  double scale = 1, offset = 0;
  double rate = 0;  // Hz: fs * samples / fsSamples
};

struct EdfHeader {
  bool bdf = false;
  int bytesPerSample = 2;  // 2 EDF, 3 BDF
  std::string format;      // "EDF", "EDF+C", "BDF", "BDF+C"
  std::string patient, recording;
  double recordsInHeader = 0;  // -1: unknown (a recording still being written)
  std::string durationText;
  int ns = 0;
  int64_t headerBytes = 0;  // 256 * (ns + 1): where the first record starts
  int fs = 0;               // Hz of the data channels whose samples per record is the most common
  int32_t fsSamples = 0;    // that count
  double startTime[6] = {0, 0, 0, 0, 0, 0};  // year month day hour minute second
  int64_t recordBytes = 0;
  int64_t nRecords = 0;  // whole records in the file now
  int statusChan = -1;   // 0-based: the BDF "Status" channel, -1 when none
  std::vector<EdfSignal> signals;
  // The warning when the file holds fewer whole records than its header says ("" otherwise).
  std::string truncatedWarning;
  // The data channels (0-based) whose physical minimum equals their maximum, and the warning that
  // names them ("" when none): their scale is unknown, the other channels are read.
  std::vector<int> unknownScale;
  std::string unknownScaleWarning;
};

// The header from the file's first bytes: `bytes` holds the first min(file, 256 * (ns + 1))
// bytes; `fileBytes` is the file's length. `needMore` is set (and false returned with no
// problem) when the first 256 bytes say the header is longer than `bytes`.
bool parseEdfHeader(std::string_view bytes, int64_t fileBytes, EdfHeader& h, int64_t& needMore, Problem& p);
// The header of the open file.
bool readEdfHeader(const InputFile& file, EdfHeader& h, Problem& p);

// One time-stamped annotation list: "+onset[\x15duration]\x14text\x14...\x14\x00".
struct Tal {
  double onset = 0, duration = 0;       // duration 0 when it gives none
  std::vector<std::string_view> texts;  // as bytes; the first of a record's first TAL is "" (time keeping)
};
// The TALs in one record's bytes of an annotation channel, in order. Bytes that are no TAL are
// skipped, as a reader of damaged files must. Time linear in the bytes, whatever they hold.
void scanTals(std::string_view bytes, std::vector<Tal>& tals);
// The time keeping of a record's TALs: the onset of its first TAL when that TAL's first text is
// empty, else 0. The first record's is the time of the first sample after the header's start.
double timeKeepingOnset(const std::vector<Tal>& tals) noexcept;
// Adds `seconds` to [year month day hour minute second], carried into minutes, hours and days and
// across months and years of the calendar. Seconds that stay within the minute are added alone.
void addSeconds(double t[6], double seconds) noexcept;

struct EdfEvent {
  enum class Kind { annotation, status };  // an annotation, or a change of the Status channel
  Kind kind = Kind::annotation;
  double onset = 0;       // seconds after the first sample
  double duration = 0;    // seconds; NaN for a status event not yet ended where the reader stopped
  std::string text;       // the annotation (UTF-8, or Latin-1 made UTF-8); a status value in decimal
  double value = 0;       // the status value's low 16 bits; NaN for an annotation
  double statusWord = 0;  // the whole 24-bit status value; NaN for an annotation
  double position = 0;    // round(onset * fs) + 1
};

// The file's header and all its events, in the order of onset (annotations before status events of
// the same onset). Problems: file (cannot be opened or read), damaged, unsupported.
bool readEdf(const std::string& path, EdfHeader& h, std::vector<EdfEvent>* events, Problem& p);

// Reads, for records [from, to) of the layout, the bytes of channel span [spanAt, spanAt + spanBytes)
// of each record (offsets within a record) and calls fn(record, bytes) in record order. Where the
// span is much of a record, whole records are read many at a time; otherwise the span alone, a read a
// record. False when a read fails.
bool forEachRecordSpan(const InputFile& file, int64_t dataOffset, int64_t recordBytes, int64_t from,
                       int64_t to, int64_t spanAt, int64_t spanBytes,
                       const std::function<void(int64_t, std::string_view)>& fn);

// An annotation's event: onset from the first record's time keeping, text decoded.
EdfEvent annotationEvent(double onset, double duration, std::string_view text, double fs);
// The position of an onset: round(onset * fs) + 1.
double positionOf(double onset, double fs) noexcept;

}  // namespace eegfmt

#endif
