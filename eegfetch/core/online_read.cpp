#include "online_read.h"

#include <cstdlib>
#include <cstring>

#include "platform/sync.h"

namespace eeg {

namespace {

// Sizes the ring of kept sums to `rows`, keeping the newest outputs it holds. False when memory
// runs out (the stream then holds none).
bool resizeKept(Stream& s, int64_t rows, int columns, int64_t next) noexcept {
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
void placeKept(const Stream& s, const ReadPlan& plan, const OutputRange& placed, int64_t next) noexcept {
  const int64_t last = placed.last < next - 1 ? placed.last : next - 1;
  for (int k = 0; k < plan.nSel; ++k) {
    const double scale = plan.offset ? 1.0 : plan.scale[plan.channels[k]];  // with offsets: scaled before
    const double* sums = s.kept + k * s.keptRows;
    double* column = plan.target + k * plan.columnStep;
    const int64_t step = plan.rowStep;
    for (int64_t i = placed.first; i <= last; ++i)
      column[(plan.destStart + (i - plan.srcStart)) * step] = sums[i % s.keptRows] * scale;
  }
}

// Rows of block sums to keep: the largest window asked for so far, within the stream's limit. Reads of
// new rows only never reach back, however many rows they return.
int64_t keptRowsFor(const Stream& s, const ReadPlan& plan, const OutputRange& placed,
                    OnlineTrack track) noexcept {
  int64_t rows = s.keptRows;
  if (track != OnlineTrack::newRows && placed.first <= placed.last && placed.last - placed.first + 1 > rows)
    rows = placed.last - placed.first + 1;
  const int64_t limit =
      static_cast<int64_t>(kKeptBytesLimit / sizeof(double)) / (plan.nSel > 0 ? plan.nSel : 1);
  if (rows > limit) rows = limit;
  return rows < 1 ? 1 : rows;
}

// The read of readOnline, with the cache's lock held. The plan is prepared once; every way through
// ends in the one read below, with the stream's decimator when a stream goes on or starts, or else with
// a decimator of its own from byte 0, keeping nothing.
ReadOutcome readOnlineLocked(StreamCache& cache, std::FILE* file, const ReadPlan& plan, const Digest& name,
                             OnlineReport& report, OnlineTrack track) noexcept {
  if (plan.nSel < 1) report.reason = FullReadReason::noColumns;
  const PreparedRead read = prepareRead(plan);
  if (!file || !read.plan) return ReadOutcome{ReadStatus::readError, 0, 0};
  const FileIdentity identity = identifyFile(file);
  const OutputRange placed = placedOutputs(plan, plan.nPoints / plan.decimationFactor);
  Stream* s = nullptr;
  bool moved = false;  // a stream was given up: the read that keeps nothing seeks to byte 0 first
  if (plan.nSel >= 1) {
    const Digest settings = settingsFingerprint(plan);
    s = cache.find(identity, name, settings, report.reason);
    if (s) {
      report.reason = cache.check(*s, file, read, placed);
      if (report.reason != FullReadReason::none) s->decimator.reset();
    } else if (report.reason != FullReadReason::notAFile) {
      s = &cache.claim(identity, name, settings);
      const bool set = s->decimator.setup(read.decimator);
      if (!set || uint64_t(s->decimator.stateSize()) * sizeof(double) > kStateBytesLimit) {
        report.reason = set ? FullReadReason::stateTooLarge : FullReadReason::noMemory;
        cache.drop(*s);  // kept by no stream: read from byte 0
        s = nullptr;
        moved = true;
      }
    }
  }
  if (s) {
    if (report.reason != FullReadReason::none) {  // the stream starts again from byte 0
      std::free(s->kept);
      s->kept = nullptr;
      s->keptRows = s->keptFirst = 0;
      s->keptColumns = 0;
    }
    const int64_t next = s->decimator.frames() / plan.decimationFactor;
    if (!resizeKept(*s, keptRowsFor(*s, plan, placed, track), plan.nSel, next)) {
      cache.drop(*s);  // the outputs it held are gone: read from byte 0, keeping nothing
      s = nullptr;
      moved = true;
      report.reason = FullReadReason::noMemory;
    } else if (placed.first < next && placed.first <= placed.last) {
      placeKept(*s, plan, placed, next);
    }
  }

  Decimator own;  // for a read that keeps nothing
  Decimator& decimator = s ? s->decimator : own;
  if (!s) {
    if (moved && !seekFile(file, 0)) return ReadOutcome{ReadStatus::readError, 0, 0};
    if (plan.nPoints == 0) return ReadOutcome{};
    if (!own.setup(read.decimator)) return ReadOutcome{ReadStatus::outOfMemory, 0, 0};
  }
  report.resumedFrames = decimator.frames();
  SumHistory history;
  if (s) {
    history.sums = s->kept;
    history.rows = s->keptRows;
  }
  // readFrom seeks to where the stream stands, except to byte 0: the checks have moved the position.
  const bool atZero = plan.dataOffset + decimator.frames() / read.geometry.unitFrames == 0;
  ReadOutcome outcome{ReadStatus::readError, 0, 0};
  if (!s || !atZero || seekFile(file, 0)) outcome = readFrom(file, read, decimator, &history);
  if (!s) return outcome;
  if (outcome.status != ReadStatus::ok) {
    cache.drop(*s);  // a call that fails keeps nothing
    return outcome;
  }
  const int64_t end = s->decimator.frames() / plan.decimationFactor;
  if (end - s->keptRows > s->keptFirst) s->keptFirst = end - s->keptRows;
  if (placed.first <= placed.last) {
    const int64_t placedEnd = placed.last + 1 < end ? placed.last + 1 : end;
    if (track == OnlineTrack::newRows && placedEnd > s->returned) s->returned = placedEnd;
    if (track == OnlineTrack::newest) {
      if (s->newestEnd >= 0 && placed.first > s->newestEnd) report.missed = placed.first - s->newestEnd;
      if (placedEnd > s->newestEnd) s->newestEnd = placedEnd;
    }
  }
  // The bytes checked only move with the frames taken: with none new, the hashes just compared stand.
  if (report.resumedFrames == s->decimator.frames() && report.reason == FullReadReason::none) return outcome;
  if (!StreamCache::takeHashes(*s, file, read)) cache.drop(*s);
  return outcome;
}

}  // namespace

int64_t returnedOutputs(StreamCache& cache, std::FILE* file, const ReadPlan& plan,
                        const Digest& name) noexcept {
  if (plan.nSel < 1) return 0;
  platform::LockGuard hold(cache.lock());
  FullReadReason why;
  const Stream* s = cache.find(identifyFile(file), name, settingsFingerprint(plan), why);
  return s ? s->returned : 0;
}

ReadOutcome readOnline(StreamCache& cache, std::FILE* file, const ReadPlan& plan, const Digest& name,
                       OnlineReport& report, OnlineTrack track) noexcept {
  report = OnlineReport();
  platform::LockGuard hold(cache.lock());
  return readOnlineLocked(cache, file, plan, name, report, track);
}

}  // namespace eeg
