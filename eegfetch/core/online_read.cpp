#include "online_read.h"

#include <cstdlib>
#include <cstring>

namespace eeg {

namespace {

// Whether `s` may serve this read: see readOnline.
bool canGoOn(const StreamState& s, std::FILE* file, const ReadPlan& plan, int64_t frameBytes,
             const OutputRange& placed) noexcept {
  if (s.frames > plan.nPoints) return false;
  const int64_t point = s.frames * frameBytes;
  if (fileLength(file) < point) return false;
  const int64_t next = s.frames / plan.decimationFactor;  // the first output not held
  if (placed.first <= placed.last && placed.first < next && placed.first < s.keptFirst) return false;
  uint64_t head, tail;
  return hashFileEnds(file, point, head, tail) && head == s.headHash && tail == s.tailHash;
}

// Sizes the ring of kept sums to `rows`, keeping the newest outputs it holds. False when memory
// runs out (the stream then holds none).
bool resizeKept(StreamState& s, int64_t rows, int columns, int64_t next) noexcept {
  if (rows == s.keptRows && columns == s.keptColumns && s.kept) return true;
  double* ring = static_cast<double*>(std::malloc(std::size_t(rows) * std::size_t(columns) * sizeof(double)));
  if (!ring) return false;
  int64_t first = s.keptFirst > next - rows ? s.keptFirst : next - rows;
  if (!s.kept || columns != s.keptColumns) first = next;
  for (int64_t i = first; i < next; ++i)
    for (int k = 0; k < columns; ++k) ring[i % rows + k * rows] = s.kept[i % s.keptRows + k * s.keptRows];
  std::free(s.kept);
  s.kept = ring;
  s.keptRows = rows;
  s.keptColumns = columns;
  s.keptFirst = first;
  return true;
}

// Places the held outputs the window admits, scaled as the read places them.
void placeKept(const StreamState& s, const ReadPlan& plan, const OutputRange& placed, int64_t next) noexcept {
  const int64_t last = placed.last < next - 1 ? placed.last : next - 1;
  for (int k = 0; k < plan.nSel; ++k) {
    const double scale = plan.scale[plan.channels[k]];
    const double* sums = s.kept + k * s.keptRows;
    double* column = plan.target + k * plan.stride;
    for (int64_t i = placed.first; i <= last; ++i)
      column[plan.destStart + (i - plan.srcStart)] = sums[i % s.keptRows] * scale;
  }
}

// Rows of block sums to keep: the largest window asked for so far, within the stream's limit.
int64_t keptRowsFor(const StreamState& s, const ReadPlan& plan, const OutputRange& placed) noexcept {
  int64_t rows = s.keptRows;
  if (placed.first <= placed.last && placed.last - placed.first + 1 > rows)
    rows = placed.last - placed.first + 1;
  const int64_t limit =
      static_cast<int64_t>(kKeptBytesLimit / sizeof(double)) / (plan.nSel > 0 ? plan.nSel : 1);
  if (rows > limit) rows = limit;
  return rows < 1 ? 1 : rows;
}

}  // namespace

ReadOutcome readOnline(StreamCache& cache, std::FILE* file, const ReadPlan& plan) noexcept {
  const FileIdentity identity = identifyFile(file);
  const int factor = plan.decimationFactor;
  const int64_t frameBytes = int64_t(plan.nChans) * (plan.binaryFormat == 1 ? 2 : 4);
  const uint64_t settings = settingsFingerprint(plan);
  const OutputRange placed = placedOutputs(plan, plan.nPoints / factor);
  const int64_t stateSize = filterStateSize(plan);
  if (!identity.known || plan.firstFrame != 0 || plan.nSel < 1 ||
      uint64_t(stateSize) * sizeof(double) > kStateBytesLimit)
    return readRecording(file, plan);

  StreamState* s = findStream(cache, identity, settings);
  const bool goOn = s && canGoOn(*s, file, plan, frameBytes, placed);
  if (!goOn) {
    if (!s) s = claimStream(cache);
    dropStream(*s);
    s->filterState =
        static_cast<double*>(std::calloc(std::size_t(stateSize > 0 ? stateSize : 1), sizeof(double)));
    if (!s->filterState) {
      dropStream(*s);
      if (!seekFile(file, 0)) return ReadOutcome{ReadStatus::readError, 0, 0};
      return readRecording(file, plan);
    }
    s->used = true;
    s->identity = identity;
    s->settings = settings;
    s->filterStateSize = stateSize;
  }
  const int64_t next = s->frames / factor;
  if (!resizeKept(*s, keptRowsFor(*s, plan, placed), plan.nSel, next)) {
    dropStream(*s);  // the outputs it held are gone: read from byte 0, keeping nothing
    if (!seekFile(file, 0)) return ReadOutcome{ReadStatus::readError, 0, 0};
    return readRecording(file, plan);
  }
  if (placed.first < next && placed.first <= placed.last) placeKept(*s, plan, placed, next);

  ReadPlan rest = plan;
  rest.firstFrame = s->frames;
  rest.nPoints = plan.nPoints - s->frames;
  rest.filterState = s->filterState;
  rest.keptSums = s->kept;
  rest.keptRows = s->keptRows;
  ReadOutcome outcome;
  if (!seekFile(file, s->frames * frameBytes)) {
    outcome.status = ReadStatus::readError;
  } else {
    outcome = readRecording(file, rest);
  }
  outcome.framesRead += s->frames;
  outcome.blocks += next;
  if (outcome.status != ReadStatus::ok) {
    dropStream(*s);  // its filter state may be part-way
    return outcome;
  }
  const int64_t end = outcome.framesRead / factor;
  s->frames = end * factor;
  if (end - s->keptRows > s->keptFirst) s->keptFirst = end - s->keptRows;
  if (!hashFileEnds(file, s->frames * frameBytes, s->headHash, s->tailHash)) dropStream(*s);
  return outcome;
}

}  // namespace eeg
