// XDF recordings: several streams in one file, each with its own rate (or none: irregular streams,
// markers among them), in chunks that interleave freely. Host-free: eegmex_xdf, eegfetch and any
// other host turn these records into their own values.
//
// The file is "XDF:" and then chunks, each [n][length: n bytes][tag: 2 bytes][content: length - 2
// bytes], n being 1, 4 or 8 and every number little-endian. Tags: FileHeader (1, XML), StreamHeader
// (2, stream id + XML), Samples (3, stream id + sample count as [n][count] + samples), ClockOffset (4,
// stream id + collection time + offset, doubles), Boundary (5, 16 bytes), StreamFooter (6, stream id +
// XML). A sample is [0 or 8][its time stamp, a double, when 8][channel_count values]; a value of a
// string stream is [n][length][bytes].
//
// Listing (scanXdf) reads the chunk headers and the first bytes of each Samples and ClockOffset chunk
// only, seeking past everything else; of each stream only its first and last Samples chunks are walked,
// for the first and last time stamps. A chunk that runs past the end of the file ends the listing there
// with a warning (a recording still being written, or a cut file); the streams hold the whole chunks
// before it. Anything else that is not XDF stops the reader with a Problem whose text names the
// chunk by its byte offset ("chunk at byte 1234 (Samples): ...").
//
// Times: a sample without a time stamp of its own takes the time of the sample before plus
// 1 / nominal_srate (plus 0 for an irregular stream; 0 before the first sample). Clock offsets are
// applied as correctedTimes() says.
#ifndef EEGMEX_FORMATS_XDF_H
#define EEGMEX_FORMATS_XDF_H

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "problem.h"
#include "text.h"

namespace eegfmt {

enum class XdfTag : uint16_t {
  fileHeader = 1,
  streamHeader = 2,
  samples = 3,
  clockOffset = 4,
  boundary = 5,
  streamFooter = 6
};
// "FileHeader", "StreamHeader", ..., "unknown"
const char* xdfTagName(uint16_t tag) noexcept;

enum class XdfFormat { int8, int16, int32, int64, float32, double64, string };
// "int8", ..., "string"
const char* xdfFormatName(XdfFormat f) noexcept;
// Bytes of one value (0 for string).
int xdfValueBytes(XdfFormat f) noexcept;

// ---- a small XML reader for the headers and footers

struct XmlNode {
  std::string name, text;  // text: the element's own character data, entities resolved, trimmed
  std::vector<XmlNode> children;
  const XmlNode* child(std::string_view name) const noexcept;  // the first child of that name, or null
  std::string childText(std::string_view name) const;          // its text, or ""
};
// Parses one document: an optional declaration, comments, processing instructions and one root element
// (attributes are read and dropped; CDATA sections and character references are taken). False, with
// `error` saying what and at which byte, when it is not well formed: tags that do not match, text
// outside the root, an unknown entity, an unterminated construct, nesting deeper than 256.
bool parseXml(std::string_view text, XmlNode& root, std::string& error);

// ---- listing

struct XdfSamplesChunk {
  int64_t at = 0;           // the chunk's first byte
  int64_t values = 0;       // its first sample's first byte
  int64_t end = 0;          // the byte after the chunk
  int64_t first = 0;        // the stream's sample number of its first sample, from 0
  int64_t count = 0;        // samples it holds
  double firstStamp = NAN;  // its first sample's own time stamp; NaN when it has none
};

struct XdfStream {
  uint32_t id = 0;
  int64_t headerAt = 0;  // the StreamHeader chunk's first byte
  std::string name, type, sourceId, hostname, uid, formatText;
  int channelCount = 0;
  double nominalRate = 0;  // 0: irregular
  XdfFormat format = XdfFormat::float32;
  std::vector<std::string> labels, units, channelTypes;  // channel_count each ("" where none is given)
  std::string headerXml, footerXml;
  int64_t sampleCount = 0;
  double firstTime = 0, lastTime = 0;  // as written (or deduced), before clock offsets; NaN: no samples
  std::vector<double> offsetTimes, offsetValues;  // of the ClockOffset chunks, in file order
  std::vector<XdfSamplesChunk> chunks;
  bool footer = false;
  // Bytes of a sample's values (numeric), and the least bytes a sample takes.
  int64_t valueBytes() const noexcept;
};

struct XdfFile {
  std::string path;
  std::string headerXml;           // the FileHeader's
  std::vector<XdfStream> streams;  // in the order of their headers
  int64_t fileBytes = 0;           // the length when listed
  int64_t wholeBytes = 0;          // bytes of whole chunks: where the listing stopped
  std::string truncatedWarning;    // "" when the last chunk ends where the file does
  XdfStream* find(uint32_t id) noexcept;
  const XdfStream* find(uint32_t id) const noexcept;
};

// Lists the file. Problems: file (cannot be opened or read), damaged, unsupported.
bool scanXdf(const std::string& path, XdfFile& f, Problem& p);
// Goes on listing an open file from f.wholeBytes (a listing of its first bytes, or a fresh XdfFile
// with wholeBytes 0), reading only what was added: of a growing file, the cost of the new bytes.
// `withTimes`: also walk the first and last Samples chunks for the time stamps.
bool continueXdf(const InputFile& file, XdfFile& f, bool withTimes, Problem& p);

// ---- samples

// Walks samples [from, from + count) of a numeric or string stream, in order, calling
// fn(index, time, values, valueBytes) with the sample's time (written or deduced, before clock offsets)
// and its value bytes as stored (string streams: the [n][length][bytes] of each value one after the
// other). `previousTime` is the time of sample `from` - 1 (0 for from 0): pass timeBefore() when not
// known. False with a Problem when the chunk's samples do not fit its length or a read fails.
bool walkSamples(const InputFile& file, const XdfStream& s, int64_t from, int64_t count, double previousTime,
                 const std::function<void(int64_t, double, const unsigned char*, size_t)>& fn, Problem& p);
// The time of sample `index` - 1 (0 for index 0): walks back to the nearest chunk whose first sample
// has a time stamp of its own, and forward from there.
bool timeBefore(const InputFile& file, const XdfStream& s, int64_t index, double& time, Problem& p);

// A numeric value as a double (int64 beyond 2^53 is rounded).
double xdfValue(XdfFormat f, const unsigned char* bytes) noexcept;
// The texts of one string sample's value bytes.
bool xdfTexts(const unsigned char* bytes, size_t n, std::vector<std::string>& texts);

// Times with the stream's clock offsets applied, in place, as the reference loader does: each time t
// becomes t + v[k], where k is the last ClockOffset measurement collected strictly before t (the
// first one when none is), v[k] its offset. No offsets: unchanged.
void correctedTimes(const XdfStream& s, double* times, size_t n) noexcept;

// Every sample's time of a stream, the clock offsets applied.
bool xdfTimes(const InputFile& file, const XdfStream& s, std::vector<double>& times, Problem& p);

// An event: a sample of a string stream or of an irregular numeric stream (nominal rate 0).
struct XdfEvent {
  uint32_t stream = 0;
  double time = 0;  // clock offsets applied
  std::string
      text;  // a string sample's texts (joined by ", " when it has several channels); numbers in %.17g
  double value = 0;     // a numeric sample's first value; NaN for a string sample
  double position = 0;  // the 1-based sample of the target stream nearest in time; 0 without a target
};
// The 1-based sample of `target` nearest in time to `time` (clock offsets applied to both; the earlier of
// two as near), found from the chunks' first time stamps and a walk through one chunk. 0 without samples.
bool nearestSample(const InputFile& file, const XdfStream& target, double time, double& position, Problem& p);

// The events a growing file added since the last call: `taken` (one count per stream of f, in its order;
// shorter: zeros for the rest) holds the samples of each event stream returned before; events after
// them come out in the order of time with positions in `target`, except those whose position lies past
// `upTo` or at the target's last sample while it has no footer (a later sample may lie nearer), which
// wait, with every later one of their stream, for a later call. `f` is the listing, gone
// on with continueXdf. Events come out as xdfEvents gives them, but that a clock offset written after
// an event it governs leaves the event's time as it was when it came out.
bool followXdfEvents(const InputFile& file, const XdfFile& f, const XdfStream* target, double upTo,
                     std::vector<double>& taken, std::vector<XdfEvent>& out, Problem& p);

// The file's events in the order of time (file order among equal times). `target`: the stream whose
// samples the positions count (null: none).
bool xdfEvents(const InputFile& file, const XdfFile& f, const XdfStream* target, std::vector<XdfEvent>& out,
               Problem& p);

}  // namespace eegfmt

#endif
