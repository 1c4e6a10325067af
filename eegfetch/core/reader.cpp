// The read engine. Chunks of frames are read into a small ring of buffers. The filtered channels are
// split into parts of whole channel groups, and each part of each chunk runs the filter kernel on
// whichever thread takes it; the thread that reads the file takes parts too.
//
// The ring and its scheduler (ChunkRing) keep one invariant. Chunks are numbered g = 0, 1, ... in file
// order, and chunk g lies in buffer g % nBuffers once `posted` exceeds g. For every part t,
//   done[t] <= claimed[t] <= posted, and part t of chunk g is claimed only when done[t] == g,
// so the chunks of one part run one at a time and in order (the filter state of its channels carries
// over from chunk g - 1), on any thread. A buffer is refilled only when every part is done with the
// chunk it held: posted - min over t of done[t] < nBuffers. Different parts may run different chunks at
// once, so a thread that runs late, is preempted or reads the file meanwhile simply takes fewer parts,
// and no thread waits for another at the end of each chunk. `progress` is raised whenever a chunk is
// posted or a part done, for threads that sleep.
#include "reader.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decimator.h"
#include "filter_kernel.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sample_decoder.h"
#include "stream_state.h"

namespace eeg {

namespace {

constexpr uint64_t chunkBytes = uint64_t(2) << 20;      // bytes per read
constexpr uint64_t decodedBytes = uint64_t(192) << 10;  // decoded doubles per thread and pass
constexpr uint64_t sumBytes = uint64_t(1) << 20;        // block sums per thread waiting to be placed
constexpr int channelGroup = 8;                         // parts are whole groups of filter channels
constexpr int maxThreads = 16;
constexpr int maxParts = 64;
constexpr int maxBuffers = 3;
constexpr int partsPerThread = 4;
constexpr int minPartGroups = 4;  // at least 32 channels a part: four vectors of the widest kernel
constexpr int64_t samplesPerExtraThread = int64_t(1) << 20;  // smaller reads stay on one thread

// Whether the plan can be read; its geometry goes to `g`.
bool planIsUsable(const ReadPlan& plan, FrameGeometry& g) noexcept {
  if (plan.nChans < 1 || plan.nPoints < 0 || plan.filterLength < 1 || plan.decimationFactor < 1) return false;
  if ((plan.a == nullptr) != (plan.b == nullptr)) return false;
  if (!plan.a && plan.filterLength != 1) return false;
  if (plan.sections < 0 || (plan.sections > 0 && (!plan.sos || plan.a))) return false;
  if (plan.nSel < 0 || (plan.nSel > 0 && (!plan.channels || !plan.scale))) return false;
  if (plan.dataOffset < 0) return false;
  if (plan.gather && (!plan.gather->read || plan.recordSamples)) return false;
  if (plan.nSel > 0 && plan.stride > 0 &&
      (!plan.target || !targetStepsAreSound(plan.stride, plan.nSel, plan.rowStep, plan.columnStep)))
    return false;
  for (int k = 0; k < plan.nSel; ++k)
    if (plan.channels[k] < 0 || plan.channels[k] >= plan.nChans) return false;
  return frameGeometry(plan, g);
}

// Units (frames or records) per read: the plan's choice, or about chunkBytes of samples; never more
// than the frames asked for need.
int64_t unitsPerChunk(const ReadPlan& plan, const FrameGeometry& g, int64_t toRead) noexcept {
  int64_t units = plan.chunkFrames > 0 ? (plan.chunkFrames + g.unitFrames - 1) / g.unitFrames
                                       : static_cast<int64_t>(chunkBytes / uint64_t(g.unitBytes));
  if (units < 1) units = 1;
  const int64_t most = (toRead + g.unitFrames) / g.unitFrames + 1;  // with a partly taken first unit
  if (units > most && toRead > 0) units = most;
  const uint64_t limit = (SIZE_MAX / 4) / uint64_t(g.unitBytes);  // keep the byte count of a chunk in size_t
  if (uint64_t(units) > limit) units = static_cast<int64_t>(limit);
  return units;
}

// What one read works with; read-only once the read starts.
struct ReadSetup {
  const ReadPlan* plan = nullptr;
  Decimator* decimator = nullptr;
  SampleDecoder decoder;
  FrameGeometry geometry;
  uint64_t frameBytes = 0;  // multiplexed: bytes of a frame
  KernelSet kernel;
  int64_t firstFrame = 0;  // the decimator's position when the read starts
  int64_t toRead = 0;      // frames asked for from there
  const SumHistory* history = nullptr;
  // Of each filter channel: where its samples start within a unit (bytes), and with offsets the
  // scale and offset the filter's input takes.
  const int64_t* channelBytes = nullptr;
  const double* inputScale = nullptr;
  const double* inputOffset = nullptr;
};

// Filter channels [begin, end): whole channel groups, run by one thread at a time. Those from `used`
// on are padding past the last filter channel.
struct Part {
  int begin = 0, end = 0, used = 0;
  int64_t passFrames = 0;       // frames decoded per pass
  double* decoded = nullptr;    // passFrames rows of end - begin decoded samples
  double* blockSums = nullptr;  // sumRows sums per channel of the part, waiting to be placed
  int64_t sumRows = 0;
  int32_t* columns = nullptr;  // output columns whose channel lies in [begin, used)
  int nColumns = 0;
};

// Every buffer of one read besides the decimator's. setupWorkspace fills it and releaseWorkspace frees all
// of it, whether the set-up succeeded or not.
struct Workspace {
  const Decimator* decimator = nullptr;
  int threads = 1;
  int64_t chunkUnits = 0;
  int64_t chunkFrames = 0;  // chunkUnits whole units of frames
  int nBuffers = 1;
  unsigned char* buffers[maxBuffers] = {};  // chunkFrames frames each, and 64 bytes to spare
  int nParts = 0;
  Part parts[maxParts];
  // Every allocation above, to free.
  static constexpr int maxBlocks = maxBuffers + 3 * maxParts;
  void* blocks[maxBlocks] = {};
  int nBlocks = 0;
};

// Zeroed storage for `count` items of `size` bytes, aligned on 64 bytes, owned by the workspace; null
// when memory runs out.
void* take(Workspace& ws, uint64_t count, uint64_t size) noexcept {
  if (count == 0) count = 1;
  if (count > (SIZE_MAX - 128) / size || ws.nBlocks == Workspace::maxBlocks) return nullptr;
  void* block = std::calloc(static_cast<std::size_t>(count * size + 64), 1);
  if (!block) return nullptr;
  ws.blocks[ws.nBlocks++] = block;
  return reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t(63));
}

template <typename T>
T* takeArray(Workspace& ws, uint64_t count) noexcept {
  return static_cast<T*>(take(ws, count, sizeof(T)));
}

int threadsFor(const ReadPlan& plan, int channels, int64_t toRead) noexcept {
  const int chosen = plan.threadLimit > 0 ? plan.threadLimit : (platform::processorCount() >= 2 ? 2 : 1);
  int threads = plan.threads > 0 ? plan.threads : chosen;
  if (plan.threads <= 0 && toRead * int64_t(channels) < samplesPerExtraThread) threads = 1;
  const int groups = (channels + channelGroup - 1) / channelGroup;
  if (threads > groups) threads = groups;
  if (threads > maxThreads) threads = maxThreads;
  return threads < 1 ? 1 : threads;
}

// Splits the filter channels (the decimator's width, padding included) into parts of equal width, a
// few per thread so that threads can even out; one part on one thread.
void partitionChannels(Workspace& ws) noexcept {
  const int groups = static_cast<int>(ws.decimator->width() / channelGroup);
  int nParts = ws.threads == 1 ? 1 : partsPerThread * ws.threads;
  if (nParts > groups / minPartGroups) nParts = groups / minPartGroups;
  if (nParts < ws.threads) nParts = ws.threads;
  if (nParts > maxParts) nParts = maxParts;
  ws.nParts = nParts;
  for (int t = 0; t < nParts; ++t) {
    Part& p = ws.parts[t];
    p.begin = static_cast<int>(int64_t(groups) * t / nParts) * channelGroup;
    p.end = static_cast<int>(int64_t(groups) * (t + 1) / nParts) * channelGroup;
    p.used = p.end < ws.decimator->filtered() ? p.end : ws.decimator->filtered();
  }
}

// A part's buffers: decoded samples for one pass and block sums for long runs of rows per column.
bool setupPart(Workspace& ws, Part& p, const ReadPlan& plan, int64_t toRead) noexcept {
  const int64_t width = p.end > p.begin ? p.end - p.begin : channelGroup;  // an empty part does nothing
  int64_t pass = static_cast<int64_t>(decodedBytes / sizeof(double)) / width;
  if (pass < 16) pass = 16;
  if (pass > ws.chunkFrames) pass = ws.chunkFrames;
  p.passFrames = pass;
  p.decoded = takeArray<double>(ws, uint64_t(pass) * uint64_t(width));
  p.sumRows = pass / plan.decimationFactor + 1;
  const int64_t longRun = static_cast<int64_t>(sumBytes / ws.nParts / sizeof(double)) / width;
  if (p.sumRows < longRun) p.sumRows = longRun;
  const int64_t mostBlocks = toRead / plan.decimationFactor + 2;  // no more can end in this read
  if (p.sumRows > mostBlocks) p.sumRows = mostBlocks;
  p.blockSums = takeArray<double>(ws, uint64_t(p.sumRows) * uint64_t(width));
  p.columns = takeArray<int32_t>(ws, uint64_t(plan.nSel));
  if (!p.decoded || !p.blockSums || !p.columns) return false;
  for (int k = 0; k < plan.nSel; ++k)
    if (ws.decimator->filterChannelOf(k) >= p.begin && ws.decimator->filterChannelOf(k) < p.used)
      p.columns[p.nColumns++] = k;
  return true;
}

// Every buffer is sized by the plan's channels, the filter and the chunk; none by the decimation
// factor or the number of frames asked for beyond one chunk.
bool setupWorkspace(Workspace& ws, const ReadPlan& plan, const ReadSetup& setup) noexcept {
  const Decimator& d = *setup.decimator;
  ws.decimator = &d;
  ws.threads = threadsFor(plan, d.filtered() > 0 ? d.filtered() : 1, setup.toRead);
  ws.chunkUnits = unitsPerChunk(plan, setup.geometry, setup.toRead);
  ws.chunkFrames = ws.chunkUnits * setup.geometry.unitFrames;
  ws.nBuffers = ws.threads > 1 ? maxBuffers : 1;
  for (int i = 0; i < ws.nBuffers; ++i) {
    ws.buffers[i] =
        takeArray<unsigned char>(ws, uint64_t(ws.chunkUnits) * uint64_t(setup.geometry.unitBytes) + 64);
    if (!ws.buffers[i]) return false;
  }
  partitionChannels(ws);
  for (int t = 0; t < ws.nParts; ++t)
    if (!setupPart(ws, ws.parts[t], plan, setup.toRead)) return false;
  return true;
}

void releaseWorkspace(Workspace& ws) noexcept {
  for (int i = 0; i < ws.nBlocks; ++i) std::free(ws.blocks[i]);
  ws.nBlocks = 0;
}

// One read's worth of frames, the same for every part.
struct Chunk {
  const unsigned char* raw = nullptr;  // whole units
  int64_t skip = 0;                    // frames of the first unit that an earlier read took
  int64_t frames = 0;
  int phase = 0;           // block position of the chunk's first frame
  int64_t outputBase = 0;  // output samples emitted before the chunk
};

// Writes `rows` block sums of the part, for outputs first .. first + rows - 1, to the admitted rows of
// the target, scaled. The admitted outputs form one run of consecutive rows, written column by column.
void placeSums(const ReadPlan& plan, const Workspace& ws, const Part& p, int64_t first,
               int64_t rows) noexcept {
  int64_t eLo = 0, eHi = rows - 1;
  if (first + eLo < plan.srcStart) eLo = plan.srcStart - first;
  if (first + eHi > plan.srcEnd) eHi = plan.srcEnd - first;
  const int64_t rowShift = plan.destStart - plan.srcStart + first;  // row of output first + e
  const int64_t lastRow = plan.destEnd < plan.stride - 1 ? plan.destEnd : plan.stride - 1;
  if (rowShift + eLo < 0) eLo = -rowShift;
  if (rowShift + eHi > lastRow) eHi = lastRow - rowShift;
  if (eLo > eHi) return;
  for (int j = 0; j < p.nColumns; ++j) {
    const int k = p.columns[j];
    const double scale = plan.offset ? 1.0 : plan.scale[plan.channels[k]];  // with offsets: scaled before
    const double* sums = p.blockSums + (ws.decimator->filterChannelOf(k) - p.begin) * p.sumRows;
    double* column = plan.target + k * plan.columnStep;
    if (plan.rowStep == 1) {
      for (int64_t e = eLo; e <= eHi; ++e) column[rowShift + e] = sums[e] * scale;
    } else {
      const int64_t step = plan.rowStep;
      for (int64_t e = eLo; e <= eHi; ++e) column[(rowShift + e) * step] = sums[e] * scale;
    }
  }
}

// Copies the unscaled block sums of outputs first .. first + rows - 1 to the ring of kept sums.
void keepSums(const SumHistory* history, const Workspace& ws, const Part& p, int64_t first,
              int64_t rows) noexcept {
  if (!history || !history->sums || rows <= 0) return;
  const int64_t ringRows = history->rows;
  const int64_t e0 = rows > ringRows ? rows - ringRows : 0;  // older ones this call would overwrite
  for (int j = 0; j < p.nColumns; ++j) {
    const int k = p.columns[j];
    const double* sums = p.blockSums + (ws.decimator->filterChannelOf(k) - p.begin) * p.sumRows;
    double* ring = history->sums + k * ringRows;
    int64_t r = (first + e0) % ringRows;
    for (int64_t e = e0; e < rows; ++e) {
      ring[r] = sums[e];
      if (++r == ringRows) r = 0;
    }
  }
}

// Runs part p over one chunk: decode, filter, block sums, placement, one pass of frames at a time.
void processChunk(const ReadSetup& s, const Workspace& ws, const Part& p, const Chunk& chunk) noexcept {
  if (p.end <= p.begin) return;
  const ReadPlan& plan = *s.plan;
  Decimator& d = *s.decimator;
  const int64_t width = p.end - p.begin;
  const int factor = plan.decimationFactor;
  const int64_t passRows = p.passFrames / factor + 1;  // most blocks one pass can end
  int64_t pending = 0;                                 // sums held, for outputs pendingFirst on
  int64_t pendingFirst = chunk.outputBase;
  // Parts that lie wholly inside the frame, with a short filter, decode inside the filter loop.
  const bool decodeInLoop =
      !s.geometry.records && !plan.offset && !d.fileChannels() && p.used == p.end && d.decodesInLoop();
  int64_t n = 0;
  for (int64_t start = 0; start < chunk.frames; start += n) {
    n = chunk.frames - start < p.passFrames ? chunk.frames - start : p.passFrames;
    const unsigned char* raw = chunk.raw + uint64_t(start) * s.frameBytes;
    if (s.geometry.records)
      decodeRecords(s.decoder, chunk.raw, s.geometry.unitBytes, s.geometry.unitFrames, chunk.skip + start, n,
                    s.channelBytes + p.begin, p.used - p.begin, p.decoded, width);
    else if (d.fileChannels())
      decodeChannels(s.decoder, raw, s.frameBytes, n, d.fileChannels() + p.begin, p.used - p.begin, p.decoded,
                     width);
    else if (!decodeInLoop)
      s.kernel.decode(s.decoder.binaryFormat, s.decoder.swapBytes, raw, s.frameBytes, n, p.begin, p.used,
                      p.decoded, width);
    if (plan.offset)  // the filter takes the samples in output units
      for (int64_t f = 0; f < n; ++f) {
        double* row = p.decoded + f * width;
        for (int j = 0; j < p.used - p.begin; ++j)
          row[j] = row[j] * s.inputScale[p.begin + j] + s.inputOffset[p.begin + j];
      }
    if (pending + passRows > p.sumRows) {
      placeSums(plan, ws, p, pendingFirst, pending);
      keepSums(s.history, ws, p, pendingFirst, pending);
      pendingFirst += pending;
      pending = 0;
    }
    FrameSource source;
    source.decoded = p.decoded;
    if (decodeInLoop) {
      source.raw = raw + uint64_t(p.begin) * uint64_t(s.decoder.bytesPerSample);
      source.frameBytes = static_cast<int64_t>(s.frameBytes);
      source.binaryFormat = s.decoder.binaryFormat;
      source.swapBytes = s.decoder.swapBytes;
    }
    const int phase = static_cast<int>((chunk.phase + start) % factor);
    pending += d.pushRange(s.kernel, source, p.begin, p.end, phase, n, p.blockSums + pending, p.sumRows);
  }
  placeSums(plan, ws, p, pendingFirst, pending);
  keepSums(s.history, ws, p, pendingFirst, pending);
}

// The ring of chunk buffers and its scheduler; the invariant is at the top of this file.
struct alignas(64) PartTurn {
  std::atomic<int64_t> claimed{0};  // chunks of this part taken by some thread
  std::atomic<int64_t> done{0};     // chunks of this part finished
};

struct ChunkRing {
  const ReadSetup* setup = nullptr;
  const Workspace* ws = nullptr;
  Chunk chunks[maxBuffers];  // chunk g in chunks[g % nBuffers]
  PartTurn turns[maxParts];
  alignas(64) std::atomic<int64_t> posted{0};
  platform::WaitCounter progress;
  std::atomic<bool> stop{false};
};

// Takes and runs one part whose turn has come; false when none has.
bool runNextPart(ChunkRing& ring, int& hint) noexcept {
  const int nParts = ring.ws->nParts;
  const int64_t posted = ring.posted.load(std::memory_order_acquire);
  for (int k = 0; k < nParts; ++k) {
    const int t = (hint + k) % nParts;
    PartTurn& turn = ring.turns[t];
    int64_t g = turn.claimed.load(std::memory_order_relaxed);
    if (g >= posted || turn.done.load(std::memory_order_acquire) != g) continue;
    if (!turn.claimed.compare_exchange_strong(g, g + 1, std::memory_order_acq_rel)) continue;
    processChunk(*ring.setup, *ring.ws, ring.ws->parts[t], ring.chunks[g % ring.ws->nBuffers]);
    turn.done.store(g + 1, std::memory_order_release);
    hint = t + 1;
    return true;
  }
  return false;
}

// Chunks that every part has finished.
int64_t chunksDone(const ChunkRing& ring) noexcept {
  int64_t least = INT64_MAX;
  for (int t = 0; t < ring.ws->nParts; ++t) {
    const int64_t d = ring.turns[t].done.load(std::memory_order_acquire);
    if (d < least) least = d;
  }
  return least;
}

struct Worker {
  ChunkRing* ring = nullptr;
  platform::Thread thread;
};

void workerRoutine(void* arg) {
  ChunkRing* ring = static_cast<Worker*>(arg)->ring;
  int hint = 0;
  for (;;) {
    const int64_t seen = ring->progress.value.load(std::memory_order_acquire);
    if (ring->stop.load(std::memory_order_acquire)) return;
    if (runNextPart(*ring, hint)) {
      raiseWaitCounter(ring->progress, 1);
      continue;
    }
    waitForCount(ring->progress, seen + 1);
  }
}

// Reads the file into the ring until the plan's frames or the file end, and runs parts until every
// posted chunk is done. This thread reads whenever a buffer is free (with no workers: only once the
// chunk before is done) and otherwise takes parts like the workers do.
void runRing(std::FILE* file, ChunkRing& ring, bool haveWorkers, ReadOutcome& outcome) noexcept {
  const ReadPlan& plan = *ring.setup->plan;
  const Workspace& ws = *ring.ws;
  const FrameGeometry& g = ring.setup->geometry;
  const uint64_t unitBytes = uint64_t(g.unitBytes);
  int64_t remaining = ring.setup->toRead;
  int64_t skip = ring.setup->firstFrame % g.unitFrames;  // frames of the first unit taken before
  bool atEnd = false;
  int64_t posted = 0;
  int hint = 0;
  for (;;) {
    const int64_t seen = haveWorkers ? ring.progress.value.load(std::memory_order_acquire) : 0;
    const int64_t finished = chunksDone(ring);
    if (!atEnd && posted - finished < ws.nBuffers) {
      Chunk& chunk = ring.chunks[posted % ws.nBuffers];
      int64_t units = (remaining + skip + g.unitFrames - 1) / g.unitFrames;
      if (units > ws.chunkUnits) units = ws.chunkUnits;
      const std::size_t wantBytes = static_cast<std::size_t>(uint64_t(units) * unitBytes);
      unsigned char* buffer = ws.buffers[posted % ws.nBuffers];
      std::size_t got = 0;
      if (wantBytes && plan.gather) {  // frames gathered from wherever they lie
        const int64_t n =
            plan.gather->read(plan.gather->context, file, ring.setup->firstFrame + outcome.framesRead, buffer,
                              static_cast<int64_t>(wantBytes));
        if (n < 0) outcome.status = ReadStatus::readError;
        got = n > 0 ? static_cast<std::size_t>(n) : 0;
      } else if (wantBytes) {
        got = std::fread(buffer, 1, wantBytes, file);
      }
      // A partial unit is ignored: a frame, or a record its writer has not finished.
      int64_t frames = static_cast<int64_t>(got / unitBytes) * g.unitFrames - skip;
      if (frames > remaining) frames = remaining;
      if (frames < 0) frames = 0;
      remaining -= frames;
      if (got < wantBytes) {  // end of file (or a read error): frames past it are not invented
        atEnd = true;
        if (!plan.gather && std::ferror(file)) outcome.status = ReadStatus::readError;
      }
      if (remaining == 0) atEnd = true;
      if (frames == 0) continue;
      chunk.raw = buffer;
      chunk.skip = skip;
      skip = 0;
      chunk.frames = frames;
      const int64_t first = ring.setup->firstFrame + outcome.framesRead;  // of the chunk, in the recording
      chunk.phase = static_cast<int>(first % plan.decimationFactor);
      chunk.outputBase = first / plan.decimationFactor;
      outcome.framesRead += frames;
      ring.posted.store(++posted, std::memory_order_release);
      if (haveWorkers) raiseWaitCounter(ring.progress, 1);
      if (!atEnd && plan.interruptPending && plan.interruptPending()) {  // the posted chunks still run
        atEnd = true;
        outcome.status = ReadStatus::interrupted;
      }
      continue;
    }
    if (runNextPart(ring, hint)) {
      if (haveWorkers) raiseWaitCounter(ring.progress, 1);
      continue;
    }
    if (atEnd && finished == posted) break;
    if (haveWorkers) waitForCount(ring.progress, seen + 1);
  }
}

// Starts the workers (fewer, or none, when the system refuses), runs the ring, and stops them.
void readThroughRing(std::FILE* file, const ReadSetup& setup, const Workspace& ws,
                     ReadOutcome& outcome) noexcept {
  ChunkRing ring;
  ring.setup = &setup;
  ring.ws = &ws;
  Worker workers[maxThreads];
  int nWorkers = 0;
  const bool canWait = ws.threads > 1 && setupWaitCounter(ring.progress);
  for (int t = 1; canWait && t < ws.threads; ++t) {
    workers[nWorkers].ring = &ring;
    if (platform::startThread(workers[nWorkers].thread, workerRoutine, &workers[nWorkers])) ++nWorkers;
  }
  runRing(file, ring, nWorkers > 0, outcome);
  ring.stop.store(true, std::memory_order_release);
  if (nWorkers) raiseWaitCounter(ring.progress, 1);
  for (int t = 0; t < nWorkers; ++t) platform::joinThread(workers[t].thread);
  releaseWaitCounter(ring.progress);
}

}  // namespace

bool targetStepsAreSound(int64_t rows, int64_t columns, int64_t rowStep, int64_t columnStep) noexcept {
  if (rows < 0 || columns < 0) return false;
  if (rows <= 1 || columns <= 1) return (rows <= 1 || rowStep != 0) && (columns <= 1 || columnStep != 0);
  const uint64_t r = rowStep < 0 ? 0 - uint64_t(rowStep) : uint64_t(rowStep);
  const uint64_t c = columnStep < 0 ? 0 - uint64_t(columnStep) : uint64_t(columnStep);
  if (r == 0 || c == 0) return false;
  // The smaller step's run, (n - 1) steps, must end before the larger step.
  const uint64_t small = r < c ? r : c, large = r < c ? c : r;
  const uint64_t n = uint64_t(r < c ? rows : columns) - 1;
  return n < large / small + (large % small ? 1 : 0) && n * small < large;
}

bool frameGeometry(const ReadPlan& plan, FrameGeometry& g) noexcept {
  g = FrameGeometry();
  g.bytesPerSample = sampleBytes(plan.binaryFormat);
  if (g.bytesPerSample == 0 || plan.nChans < 1) return false;
  if (!plan.recordSamples) {
    g.unitBytes = int64_t(plan.nChans) * g.bytesPerSample;
    return true;
  }
  int64_t samples = 0;
  for (int c = 0; c < plan.nChans; ++c) {
    if (plan.recordSamples[c] < 0) return false;
    samples += plan.recordSamples[c];
  }
  g.records = true;
  g.unitBytes = samples * g.bytesPerSample;
  g.unitFrames = plan.nSel > 0 ? plan.recordSamples[plan.channels[0]] : 1;
  for (int k = 0; k < plan.nSel; ++k)
    if (plan.recordSamples[plan.channels[k]] != g.unitFrames) return false;
  return g.unitFrames >= 1 && g.unitBytes >= 1 && uint64_t(g.unitBytes) <= uint64_t(SIZE_MAX / 8);
}

DecimatorSetup decimatorSetup(const ReadPlan& plan) noexcept {
  DecimatorSetup d;
  d.nChans = plan.nChans;
  d.filterLength = plan.filterLength;
  d.b = plan.b;
  d.a = plan.a;
  d.sos = plan.sos;
  d.sections = plan.sections;
  d.factor = plan.decimationFactor;
  d.weights = plan.weights;
  d.channels = plan.channels;
  d.nSel = plan.nSel;
  d.selectedOnly = plan.recordSamples != nullptr;  // channels of other rates have no frames
  return d;
}

PreparedRead prepareRead(const ReadPlan& plan) noexcept {
  PreparedRead read;
  read.decimator = decimatorSetup(plan);
  if (!planIsUsable(plan, read.geometry) ||
      !setupSampleDecoder(read.decoder, plan.binaryFormat, plan.swapBytes))
    return PreparedRead();
  read.kernel = kernelsFor(plan.instructionSet);
  read.plan = &plan;
  return read;
}

ReadOutcome readFrom(std::FILE* file, const PreparedRead& read, Decimator& decimator,
                     const SumHistory* history) noexcept {
  ReadOutcome outcome;
  if (!file || !read.plan || !decimator.ready() || decimator.factor() != read.plan->decimationFactor ||
      decimator.columns() != read.plan->nSel) {
    outcome.status = ReadStatus::readError;
    return outcome;
  }
  const ReadPlan& plan = *read.plan;
  ReadSetup setup;
  setup.plan = &plan;
  setup.decimator = &decimator;
  setup.decoder = read.decoder;
  setup.geometry = read.geometry;
  setup.kernel = read.kernel;
  setup.history = history && history->sums && history->rows > 0 ? history : nullptr;
  setup.firstFrame = decimator.frames();
  outcome.framesRead = setup.firstFrame;
  outcome.blocks = setup.firstFrame / plan.decimationFactor;
  setup.toRead = plan.nPoints - setup.firstFrame;
  if (setup.toRead <= 0) return outcome;
  setup.frameBytes = uint64_t(setup.geometry.unitBytes);
  if (setup.frameBytes > SIZE_MAX / 8 || uint64_t(plan.nChans) > SIZE_MAX / 8 / sizeof(double)) {
    outcome.status = ReadStatus::outOfMemory;
    return outcome;
  }
  const FrameGeometry& g = setup.geometry;
  // A read from byte 0 reads from where the file stands (a pipe cannot seek); others seek.
  const int64_t at = plan.dataOffset + setup.firstFrame / g.unitFrames * g.unitBytes;
  if (at != 0 && !plan.gather && !seekFile(file, at)) {
    outcome.status = ReadStatus::readError;
    return outcome;
  }
  // Per filter channel: its bytes within a unit, and with offsets its input's scale and offset.
  const int nFiltered = decimator.filtered() > 0 ? decimator.filtered() : 1;
  struct Block {
    void* p = nullptr;
    ~Block() { std::free(p); }
  } perChannel;
  perChannel.p = std::malloc(std::size_t(nFiltered) * (sizeof(int64_t) + 2 * sizeof(double)));
  if (!perChannel.p) {
    outcome.status = ReadStatus::outOfMemory;
    return outcome;
  }
  int64_t* channelBytes = static_cast<int64_t*>(perChannel.p);
  double* inputScale = reinterpret_cast<double*>(channelBytes + nFiltered);
  double* inputOffset = inputScale + nFiltered;
  for (int j = 0; j < decimator.filtered(); ++j) {
    const int c = decimator.fileChannels() ? decimator.fileChannels()[j] : j;
    int64_t before = 0;  // samples of the unit before channel c's first
    if (g.records)
      for (int i = 0; i < c; ++i) before += plan.recordSamples[i];
    else
      before = c;
    channelBytes[j] = before * g.bytesPerSample;
    inputScale[j] = plan.scale ? plan.scale[c] : 1.0;
    inputOffset[j] = plan.offset ? plan.offset[c] : 0.0;
  }
  setup.channelBytes = channelBytes;
  setup.inputScale = inputScale;
  setup.inputOffset = inputOffset;
  Workspace ws;
  ReadOutcome run;
  if (setupWorkspace(ws, plan, setup))
    readThroughRing(file, setup, ws, run);
  else
    run.status = ReadStatus::outOfMemory;
  releaseWorkspace(ws);
  decimator.advance(run.framesRead);  // every posted chunk was pushed by every part
  outcome.status = run.status;
  outcome.framesRead = decimator.frames();
  outcome.blocks = decimator.frames() / plan.decimationFactor;
  return outcome;
}

ReadOutcome readRecording(std::FILE* file, const ReadPlan& plan) noexcept {
  const PreparedRead read = prepareRead(plan);
  if (!file || !read.plan) return ReadOutcome{ReadStatus::readError, 0, 0};
  if (plan.nPoints == 0) return ReadOutcome{};
  Decimator decimator;
  if (!decimator.setup(read.decimator)) return ReadOutcome{ReadStatus::outOfMemory, 0, 0};
  return readFrom(file, read, decimator, nullptr);
}

void prepareFreshTarget(double* target, int64_t count) noexcept {
  if (target && count > 0) platform::preferLargePages(target, static_cast<size_t>(count) * sizeof(double));
}

}  // namespace eeg
