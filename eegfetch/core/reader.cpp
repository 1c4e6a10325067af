#include "reader.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "block_decimator.h"
#include "channel_filter.h"
#include "filter_kernel.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "sample_decoder.h"

namespace eeg {

namespace {

constexpr uint64_t frameByFrameChunkBytes = uint64_t(1) << 20;
constexpr uint64_t chunkBytes = uint64_t(2) << 20;      // bytes per read of the vector loop
constexpr uint64_t decodedBytes = uint64_t(192) << 10;  // decoded doubles per thread and pass
constexpr uint64_t sumBytes = uint64_t(1) << 20;        // block sums per thread waiting to be placed
constexpr int channelGroup = 8;                         // channels are split between threads in groups
constexpr int maxThreads = 16;
constexpr int maxParts = 64;
constexpr int partsPerThread = 4;
constexpr int minPartGroups = 4;  // at least 32 channels a part: four vectors of the widest kernel
constexpr int64_t samplesPerExtraThread = int64_t(1) << 20;  // smaller reads stay on one thread

// Where output sample `outputIndex` goes, or -1 when the window or the matrix does not admit it.
int64_t placedRow(const ReadPlan& plan, int64_t outputIndex) noexcept {
  if (outputIndex < plan.srcStart || outputIndex > plan.srcEnd) return -1;
  const int64_t r = plan.destStart + (outputIndex - plan.srcStart);
  if (r > plan.destEnd || r < 0 || r >= plan.stride) return -1;
  return r;
}

bool planIsUsable(const ReadPlan& plan) noexcept {
  if (plan.nChans < 1 || plan.nPoints < 0 || plan.filterLength < 1 || plan.decimationFactor < 1) return false;
  if ((plan.a == nullptr) != (plan.b == nullptr)) return false;
  if (!plan.a && plan.filterLength != 1) return false;
  if (plan.nSel < 0 || (plan.nSel > 0 && (!plan.channels || !plan.scale))) return false;
  for (int k = 0; k < plan.nSel; ++k)
    if (plan.channels[k] < 0 || plan.channels[k] >= plan.nChans) return false;
  return true;
}

// Frames per read: the plan's choice, or about `bytes` of samples.
int64_t framesPerChunk(const ReadPlan& plan, uint64_t frameBytes, uint64_t bytes) noexcept {
  int64_t frames = plan.chunkFrames;
  if (frames <= 0) frames = static_cast<int64_t>(bytes / frameBytes);
  if (frames < 1) frames = 1;
  if (frames > plan.nPoints && plan.nPoints > 0) frames = plan.nPoints;
  const uint64_t limit = (SIZE_MAX / 4) / frameBytes;  // keep the byte count of a chunk in size_t
  if (uint64_t(frames) > limit) frames = static_cast<int64_t>(limit);
  return frames;
}

void* allocate(uint64_t count, uint64_t size) noexcept {
  if (count == 0) count = 1;
  if (count > (SIZE_MAX - 128) / size) return nullptr;
  return std::malloc(static_cast<std::size_t>(count * size));
}

// Storage aligned on 64 bytes inside a block from malloc; `block` receives what to free.
double* alignedDoubles(uint64_t count, void*& block) noexcept {
  block = nullptr;
  if (count > (SIZE_MAX - 128) / sizeof(double)) return nullptr;
  block = std::calloc(static_cast<std::size_t>(count + 8), sizeof(double));
  if (!block) return nullptr;
  return reinterpret_cast<double*>((reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t(63));
}

// ---- Frame at a time -----------------------------------------------------------------------------------

ReadOutcome readFrameByFrame(std::FILE* file, const ReadPlan& plan, const SampleDecoder& decoder,
                             uint64_t frameBytes) noexcept {
  ReadOutcome outcome;
  const int64_t chunkFrames = framesPerChunk(plan, frameBytes, frameByFrameChunkBytes);
  ChannelFilter filter;
  BlockDecimator decimator;
  unsigned char* raw = nullptr;
  double* frame = nullptr;
  double* row = nullptr;
  bool ready = setupChannelFilter(filter, plan.filterLength, plan.a, plan.b, plan.nChans);
  ready = setupBlockDecimator(decimator, plan.decimationFactor, plan.nChans, plan.weights) && ready;
  if (ready) {
    raw = static_cast<unsigned char*>(allocate(uint64_t(chunkFrames), frameBytes));
    frame = static_cast<double*>(allocate(uint64_t(plan.nChans), sizeof(double)));
    row = static_cast<double*>(allocate(uint64_t(plan.nSel), sizeof(double)));
    ready = raw && frame && row;
  }
  if (ready) {
    int64_t outputIndex = 0;
    int64_t remaining = plan.nPoints;
    while (remaining > 0) {
      const int64_t want = remaining < chunkFrames ? remaining : chunkFrames;
      const std::size_t wantBytes = static_cast<std::size_t>(uint64_t(want) * frameBytes);
      const std::size_t got = std::fread(raw, 1, wantBytes, file);
      const int64_t frames = static_cast<int64_t>(got / frameBytes);  // a partial frame is ignored
      for (int64_t f = 0; f < frames; ++f) {
        decodeSamples(decoder, raw + uint64_t(f) * frameBytes, std::size_t(plan.nChans), frame);
        if (pushFrame(decimator, filter, frame, plan.channels, plan.nSel, plan.scale, row, 1)) {
          const int64_t r = placedRow(plan, outputIndex);
          if (r >= 0)
            for (int k = 0; k < plan.nSel; ++k) plan.target[r + k * plan.stride] = row[k];
          ++outputIndex;
        }
      }
      outcome.framesRead += frames;
      remaining -= frames;
      if (got < wantBytes) {  // end of file (or a read error): frames past it are not invented
        if (std::ferror(file)) outcome.status = ReadStatus::readError;
        break;
      }
    }
    outcome.blocks = outputIndex;
  } else {
    outcome.status = ReadStatus::outOfMemory;
  }
  std::free(row);
  std::free(frame);
  std::free(raw);
  releaseBlockDecimator(decimator);
  releaseChannelFilter(filter);
  return outcome;
}

// ---- Chunked, vectorized over channels, channels split between threads ----------------------------------

// What every thread of one read shares.
struct Shared {
  const ReadPlan* plan = nullptr;
  SampleDecoder decoder;
  uint64_t frameBytes = 0;
  ChannelFilter filter;
  const double* weights = nullptr;
  double* accumulators = nullptr;  // stateStride doubles
  // The channels that are filtered, in rising order, or null for all of them. A channel that no output
  // column selects never shows in the result, and channels do not affect each other, so leaving it out
  // changes no output; slots (the filter's channel numbers) then count the listed channels only.
  const int32_t* active = nullptr;
  int nActive = 0;
  const int32_t* slotOf = nullptr;  // slot of each output column's channel
  KernelSet kernel;
};

// One thread's channels [c0, c1) (c1 - c0 a multiple of the group, channels past nChans are padding).
struct Part {
  int c0 = 0, c1 = 0, cEnd = 0;
  int64_t passFrames = 0;  // frames decoded per pass
  double* x = nullptr;
  double* blockSums = nullptr;  // sumRows rows of width block sums, waiting to be placed
  int64_t sumRows = 0;
  int32_t* selected = nullptr;  // output columns whose channel lies in [c0, cEnd)
  int nSelected = 0;
  void* xBlock = nullptr;
  void* sumBlock = nullptr;
};

// One read's worth of frames, the same for every thread.
struct Chunk {
  const unsigned char* raw = nullptr;
  int64_t frames = 0;
  int phase = 0;           // block position of the chunk's first frame
  int64_t outputBase = 0;  // output samples emitted before the chunk
};

// Writes `rows` block sums of the part, for outputs first .. first + rows - 1, to the admitted rows of
// the target, scaled. The admitted outputs form one run of consecutive rows, written column by column.
void placeSums(const ReadPlan& plan, const int32_t* slotOf, const Part& p, int64_t first,
               int64_t rows) noexcept {
  int64_t eLo = 0, eHi = rows - 1;
  if (first + eLo < plan.srcStart) eLo = plan.srcStart - first;
  if (first + eHi > plan.srcEnd) eHi = plan.srcEnd - first;
  const int64_t rowShift = plan.destStart - plan.srcStart + first;  // row of output first + e
  const int64_t lastRow = plan.destEnd < plan.stride - 1 ? plan.destEnd : plan.stride - 1;
  if (rowShift + eLo < 0) eLo = -rowShift;
  if (rowShift + eHi > lastRow) eHi = lastRow - rowShift;
  if (eLo > eHi) return;
  for (int j = 0; j < p.nSelected; ++j) {
    const int k = p.selected[j];
    const int32_t ch = plan.channels[k];
    const double scale = plan.scale[ch];
    const double* sums = p.blockSums + (slotOf[k] - p.c0) * p.sumRows;
    double* column = plan.target + k * plan.stride;
    for (int64_t e = eLo; e <= eHi; ++e) column[rowShift + e] = sums[e] * scale;
  }
}

void processChunk(const Shared& s, const Part& p, const Chunk& chunk) noexcept {
  if (p.c1 <= p.c0) return;
  const ReadPlan& plan = *s.plan;
  const int64_t width = p.c1 - p.c0;
  const int factor = plan.decimationFactor;
  const int64_t passRows = p.passFrames / factor + 1;  // most blocks one pass can end
  int64_t pending = 0;                                 // sums held, for outputs pendingFirst on
  int64_t pendingFirst = chunk.outputBase + chunk.phase / factor;
  for (int64_t start = 0; start < chunk.frames; start += p.passFrames) {
    const int64_t n = chunk.frames - start < p.passFrames ? chunk.frames - start : p.passFrames;
    const unsigned char* raw = chunk.raw + uint64_t(start) * s.frameBytes;
    // Parts that lie wholly inside the frame, with a short filter, decode inside the filter loop.
    const bool decodeInLoop = !s.active && p.cEnd == p.c1 && s.filter.L <= kernelRawMaxLength;
    if (s.active)
      decodeChannels(s.decoder, raw, s.frameBytes, n, s.active + p.c0, p.cEnd - p.c0, p.x, width);
    else if (!decodeInLoop)
      s.kernel.decode(s.decoder.binaryFormat, s.decoder.swapBytes, raw, s.frameBytes, n, p.c0, p.cEnd, p.x,
                      width);
    if (pending + passRows > p.sumRows) {
      placeSums(plan, s.slotOf, p, pendingFirst, pending);
      pendingFirst += pending;
      pending = 0;
    }
    KernelJob job;
    job.x = p.x;
    if (decodeInLoop) {
      job.raw = raw + uint64_t(p.c0) * uint64_t(s.decoder.bytesPerSample);
      job.frameBytes = static_cast<int64_t>(s.frameBytes);
      job.binaryFormat = s.decoder.binaryFormat;
      job.swapBytes = s.decoder.swapBytes;
    }
    job.frames = n;
    job.width = width;
    job.L = s.filter.L;
    job.b = s.filter.b;
    job.a = s.filter.a;
    job.state = s.filter.state + p.c0;
    job.stateStride = s.filter.stateStride;
    job.weights = s.weights;
    job.factor = factor;
    job.phase = static_cast<int>((chunk.phase + start) % factor);
    job.accumulators = s.accumulators + p.c0;
    job.blockSums = p.blockSums + pending;
    job.sumStride = p.sumRows;
    s.kernel.filter(job);
    pending += (job.phase + n) / factor;
  }
  placeSums(plan, s.slotOf, p, pendingFirst, pending);
}

// Hand-over between the reading thread and the workers. Chunks go through a ring of buffers: chunk g
// lies in buffer g % nBuffers once `posted` exceeds g. Part t of chunk g may run once part t of chunk
// g - 1 is done (the filter state of its channels carries over), and any thread may take it, so a
// thread that runs late, is preempted or reads the file meanwhile simply takes fewer parts, and no
// thread waits for another at the end of each chunk. A buffer is read again once every part is done
// with the chunk it held. `progress` is raised whenever a chunk is posted or a part done, for sleepers.
struct alignas(64) PartTurn {
  std::atomic<int64_t> claimed{0};  // chunks of this part taken by some thread
  std::atomic<int64_t> done{0};     // chunks of this part finished
};

struct Crew {
  const Shared* shared = nullptr;
  Part* parts = nullptr;
  int nParts = 0;
  const Chunk* chunks = nullptr;  // one per buffer
  int nBuffers = 1;
  PartTurn* turns = nullptr;
  alignas(64) std::atomic<int64_t> posted{0};
  platform::WaitCounter progress;
  std::atomic<bool> stop{false};
};

// Takes and runs one part whose turn has come; false when none has.
bool takeOnePart(Crew& crew, int& hint) noexcept {
  const int64_t posted = crew.posted.load(std::memory_order_acquire);
  for (int k = 0; k < crew.nParts; ++k) {
    const int t = (hint + k) % crew.nParts;
    PartTurn& turn = crew.turns[t];
    int64_t g = turn.claimed.load(std::memory_order_relaxed);
    if (g >= posted || turn.done.load(std::memory_order_acquire) != g) continue;
    if (!turn.claimed.compare_exchange_strong(g, g + 1, std::memory_order_acq_rel)) continue;
    processChunk(*crew.shared, crew.parts[t], crew.chunks[g % crew.nBuffers]);
    turn.done.store(g + 1, std::memory_order_release);
    hint = t + 1;
    return true;
  }
  return false;
}

// Chunks that every part has finished.
int64_t chunksDone(const Crew& crew) noexcept {
  int64_t least = INT64_MAX;
  for (int t = 0; t < crew.nParts; ++t) {
    const int64_t d = crew.turns[t].done.load(std::memory_order_acquire);
    if (d < least) least = d;
  }
  return least;
}

struct WorkerSeat {
  Crew* crew = nullptr;
  platform::Thread thread;
};

void workerRoutine(void* arg) {
  Crew* crew = static_cast<WorkerSeat*>(arg)->crew;
  int hint = 0;
  for (;;) {
    const int64_t seen = crew->progress.value.load(std::memory_order_acquire);
    if (crew->stop.load(std::memory_order_acquire)) return;
    if (takeOnePart(*crew, hint)) {
      raiseWaitCounter(crew->progress, 1);
      continue;
    }
    waitForCount(crew->progress, seen + 1);
  }
}

int threadsFor(const ReadPlan& plan, int channels) noexcept {
  int threads = plan.threads > 0 ? plan.threads : (platform::processorCount() >= 2 ? 2 : 1);
  if (plan.threads <= 0 && plan.nPoints * int64_t(channels) < samplesPerExtraThread) threads = 1;
  const int groups = (channels + channelGroup - 1) / channelGroup;
  if (threads > groups) threads = groups;
  if (threads > maxThreads) threads = maxThreads;
  return threads < 1 ? 1 : threads;
}

ReadOutcome readChunked(std::FILE* file, const ReadPlan& plan, const SampleDecoder& decoder,
                        uint64_t frameBytes, KernelSet kernel) noexcept {
  ReadOutcome outcome;
  Shared shared;
  shared.plan = &plan;
  shared.decoder = decoder;
  shared.frameBytes = frameBytes;
  shared.kernel = kernel;
  const int64_t chunkFrames = framesPerChunk(plan, frameBytes, chunkBytes);
  // The selected channels, sorted and without repeats; filtered alone when they are clearly fewer
  // than all (otherwise the contiguous loop over every channel is faster).
  int32_t* active = static_cast<int32_t*>(allocate(uint64_t(plan.nSel), sizeof(int32_t)));
  int32_t* slotOf = static_cast<int32_t*>(allocate(uint64_t(plan.nSel), sizeof(int32_t)));
  int nActive = 0;
  if (active && slotOf) {
    for (int k = 0; k < plan.nSel; ++k) active[k] = plan.channels[k];
    std::sort(active, active + plan.nSel);
    nActive = static_cast<int>(std::unique(active, active + plan.nSel) - active);
    const bool subset = int64_t(nActive) * 4 <= int64_t(plan.nChans) * 3;
    for (int k = 0; k < plan.nSel; ++k)
      slotOf[k] =
          subset ? static_cast<int32_t>(std::lower_bound(active, active + nActive, plan.channels[k]) - active)
                 : plan.channels[k];
    if (subset) {
      shared.active = active;
      shared.nActive = nActive;
    }
    shared.slotOf = slotOf;
  }
  const int filtered = shared.active ? (nActive > 0 ? nActive : 1) : plan.nChans;
  const int threads = threadsFor(plan, filtered);

  BlockDecimator decimator;
  Part parts[maxParts];
  WorkerSeat seats[maxThreads];
  void* accBlock = nullptr;
  constexpr int maxBuffers = 3;
  unsigned char* raw[maxBuffers] = {nullptr, nullptr, nullptr};
  Chunk chunks[maxBuffers];
  PartTurn turns[maxParts];
  const int buffers = threads > 1 ? maxBuffers : 1;
  bool ready = active && slotOf;
  ready = ready && setupChannelFilter(shared.filter, plan.filterLength, plan.a, plan.b, filtered);
  ready = setupBlockDecimator(decimator, plan.decimationFactor, 1, plan.weights) && ready;
  if (ready) {
    shared.weights = decimator.weights;
    shared.accumulators = alignedDoubles(uint64_t(shared.filter.stateStride), accBlock);
    for (int i = 0; i < buffers; ++i) {
      raw[i] = static_cast<unsigned char*>(allocate(uint64_t(chunkFrames) * frameBytes + 64, 1));
      chunks[i].raw = raw[i];
      ready = ready && raw[i];
    }
    ready = ready && shared.accumulators;
  }
  // Parts of equal width, a few per thread so that threads can even out; one part on one thread.
  const int groups = static_cast<int>(shared.filter.stateStride / channelGroup);
  int nParts = threads == 1 ? 1 : partsPerThread * threads;
  if (nParts > groups / minPartGroups) nParts = groups / minPartGroups;
  if (nParts < threads) nParts = threads;
  if (nParts > maxParts) nParts = maxParts;
  for (int t = 0; ready && t < nParts; ++t) {
    Part& p = parts[t];
    p.c0 = static_cast<int>(int64_t(groups) * t / nParts) * channelGroup;
    p.c1 = static_cast<int>(int64_t(groups) * (t + 1) / nParts) * channelGroup;
    const int slots = shared.active ? nActive : plan.nChans;
    p.cEnd = p.c1 < slots ? p.c1 : slots;
    const int64_t width = p.c1 > p.c0 ? p.c1 - p.c0 : channelGroup;  // an empty part does nothing
    int64_t pass = static_cast<int64_t>(decodedBytes / sizeof(double)) / width;
    if (pass < 16) pass = 16;
    if (pass > chunkFrames) pass = chunkFrames;
    p.passFrames = pass;
    p.x = alignedDoubles(uint64_t(pass) * uint64_t(width), p.xBlock);
    // Enough sums to place long runs of rows per column at a time.
    p.sumRows = pass / plan.decimationFactor + 1;
    const int64_t longRun = static_cast<int64_t>(sumBytes / nParts / sizeof(double)) / width;
    if (p.sumRows < longRun) p.sumRows = longRun;
    p.blockSums = alignedDoubles(uint64_t(p.sumRows) * uint64_t(width), p.sumBlock);
    p.selected = static_cast<int32_t*>(allocate(uint64_t(plan.nSel), sizeof(int32_t)));
    ready = p.x && p.blockSums && p.selected;
    if (ready)
      for (int k = 0; k < plan.nSel; ++k)
        if (slotOf[k] >= p.c0 && slotOf[k] < p.cEnd) p.selected[p.nSelected++] = k;
  }

  if (ready) {
    Crew crew;
    crew.shared = &shared;
    crew.parts = parts;
    crew.nParts = nParts;
    crew.chunks = chunks;
    crew.nBuffers = buffers;
    crew.turns = turns;
    int workers = 0;
    const bool canWait = threads > 1 && setupWaitCounter(crew.progress);
    for (int t = 1; canWait && t < threads; ++t) {
      seats[workers].crew = &crew;
      if (platform::startThread(seats[workers].thread, workerRoutine, &seats[workers])) ++workers;
    }
    int64_t remaining = plan.nPoints;
    bool atEnd = false;
    int64_t posted = 0;
    int hint = 0;
    // This thread reads whenever a buffer is free (alone: only once the chunk before is done), and
    // otherwise takes parts like the workers do.
    while (true) {
      const int64_t seen = workers ? crew.progress.value.load(std::memory_order_acquire) : 0;
      const int64_t finished = chunksDone(crew);
      if (!atEnd && posted - finished < buffers) {
        Chunk& chunk = chunks[posted % buffers];
        const int64_t want = remaining < chunkFrames ? remaining : chunkFrames;
        const std::size_t wantBytes = static_cast<std::size_t>(uint64_t(want) * frameBytes);
        const std::size_t got = wantBytes ? std::fread(raw[posted % buffers], 1, wantBytes, file) : 0;
        const int64_t frames = static_cast<int64_t>(got / frameBytes);  // a partial frame is ignored
        remaining -= frames;
        if (got < wantBytes) {  // end of file (or a read error): frames past it are not invented
          atEnd = true;
          if (std::ferror(file)) outcome.status = ReadStatus::readError;
        }
        if (remaining == 0) atEnd = true;
        if (frames == 0) continue;
        chunk.frames = frames;
        chunk.phase = static_cast<int>(outcome.framesRead % plan.decimationFactor);
        chunk.outputBase = outcome.framesRead / plan.decimationFactor;
        outcome.framesRead += frames;
        crew.posted.store(++posted, std::memory_order_release);
        if (workers) raiseWaitCounter(crew.progress, 1);
        continue;
      }
      if (takeOnePart(crew, hint)) {
        if (workers) raiseWaitCounter(crew.progress, 1);
        continue;
      }
      if (atEnd && finished == posted) break;
      if (workers) waitForCount(crew.progress, seen + 1);
    }
    outcome.blocks = outcome.framesRead / plan.decimationFactor;
    crew.stop.store(true, std::memory_order_release);
    if (workers) raiseWaitCounter(crew.progress, 1);
    for (int t = 0; t < workers; ++t) platform::joinThread(seats[t].thread);
    releaseWaitCounter(crew.progress);
  } else {
    outcome.status = ReadStatus::outOfMemory;
  }
  for (int t = 0; t < maxParts; ++t) {
    std::free(parts[t].selected);
    std::free(parts[t].sumBlock);
    std::free(parts[t].xBlock);
  }
  for (int i = 0; i < maxBuffers; ++i) std::free(raw[i]);
  std::free(accBlock);
  std::free(slotOf);
  std::free(active);
  releaseBlockDecimator(decimator);
  releaseChannelFilter(shared.filter);
  return outcome;
}

}  // namespace

ReadOutcome readRecording(std::FILE* file, const ReadPlan& plan) noexcept {
  ReadOutcome outcome;
  SampleDecoder decoder;
  if (!file || !planIsUsable(plan) || !setupSampleDecoder(decoder, plan.binaryFormat, plan.swapBytes)) {
    outcome.status = ReadStatus::readError;
    return outcome;
  }
  if (plan.nPoints == 0) return outcome;
  const uint64_t frameBytes = uint64_t(plan.nChans) * uint64_t(decoder.bytesPerSample);
  if (frameBytes > SIZE_MAX / 8 || uint64_t(plan.nChans) > SIZE_MAX / 8 / sizeof(double)) {
    outcome.status = ReadStatus::outOfMemory;
    return outcome;
  }
  if (plan.isa == isaFrameAtATime) return readFrameByFrame(file, plan, decoder, frameBytes);
  int isa = plan.isa > isaFrameAtATime && plan.isa <= isaAvx512 ? plan.isa : bestKernelIsa();
  KernelSet kernel;
  for (; isa >= isaSse2 && !kernel.filter; --isa) kernel = kernelFor(isa);
  if (!kernel.filter) return readFrameByFrame(file, plan, decoder, frameBytes);
  return readChunked(file, plan, decoder, frameBytes, kernel);
}

}  // namespace eeg
