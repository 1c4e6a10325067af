// [X, info] = eegfetch(fileName, HDR, OPT): the gateway. Checks the arguments, reads the recording
// through the numeric core into a new matrix or into OPT.data, releases everything, then reports.
//
// Host errors never leave anything behind: they are raised only where nothing of ours is alive.
// Host allocations (the result matrix, its copy and `info`) happen while at most the data file is
// open, and that file lives in the module's state (one per calling thread): should an allocation
// error jump out of the call, the thread's next call or the module's unload closes it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "mexapi.h"
#include "online_read.h"
#include "platform/sync.h"
#include "reader.h"
#include "reader_call.h"
#include "xdf_frames.h"

namespace {

// The open data file of the call in progress on this thread, or null. Calls on different threads
// (the Python host runs them at once) each have their own.
thread_local std::FILE* t_dataFile = nullptr;
// The XDF listing the call in progress on this thread reads through (null: the call reads no XDF
// stream). Borrowed from the module for the call and given back after it (XdfListings).
thread_local eeg::XdfFrames* t_xdf = nullptr;

void closeDataFile() {
  if (t_dataFile) {
    std::fclose(t_dataFile);
    t_dataFile = nullptr;
  }
}

void giveBackXdf();

// Everything the module keeps between calls: started by the first call, ended when the host lets go
// of the module (clear eegfetch, clear all, exit). `lock` guards `started` and `threadLimit`; the
// stream cache carries its own lock, which each read through it holds (taken after `lock`, never
// before it). Reads hold neither lock otherwise, so reads of different files run at once.
struct ReaderModule {
  platform::Lock lock;
  bool started = false;
  int threadLimit = 0;       // EEGMEX_NUM_THREADS as the first call after the load found it; 0: unset
  eeg::StreamCache streams;  // what reads with OPT.resume left for the next ones
  // An XDF listing no call holds now, kept for the next XDF call (the listing of the file it read
  // last, extended with new chunks only); under `lock`. Calls on other threads at the same time
  // make listings of their own, and the one given back last is kept.
  eeg::XdfFrames* spareXdf = nullptr;

  void start();
  void end() {
    closeDataFile();
    delete t_xdf;
    t_xdf = nullptr;
    streams.dropAll();
    platform::LockGuard hold(lock);
    delete spareXdf;
    spareXdf = nullptr;
    started = false;
  }
};

ReaderModule g_module;

void endModule() { g_module.end(); }

// Borrows the module's XDF listing for this thread's call, or makes a new one. False when memory
// runs out.
bool borrowXdf() {
  {
    platform::LockGuard hold(g_module.lock);
    t_xdf = g_module.spareXdf;
    g_module.spareXdf = nullptr;
  }
  if (!t_xdf) t_xdf = new (std::nothrow) eeg::XdfFrames();
  return t_xdf != nullptr;
}

// Gives this thread's XDF listing back to the module after its call (or, when a host error cut the
// call short, at the thread's next call).
void giveBackXdf() {
  if (!t_xdf) return;
  eeg::XdfFrames* surplus = t_xdf;
  t_xdf = nullptr;
  {
    platform::LockGuard hold(g_module.lock);
    std::swap(surplus, g_module.spareXdf);
  }
  delete surplus;
}

// A child of fork() has only the forking thread: a lock a read held is given back fresh, and the
// streams that read was changing are forgotten.
void moduleInChild() {
  platform::resetLockInChild(g_module.lock);
  g_module.streams.resetInChild();
}

// The thread count the environment asks for: a whole number from 1 to kMaxThreads, or 0.
int threadsFromEnvironment() {
  const char* text = std::getenv("EEGMEX_NUM_THREADS");
  if (!text || !*text) return 0;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  return *end == '\0' && n >= 1 && n <= eeg::kMaxThreads ? static_cast<int>(n) : 0;
}

void ReaderModule::start() {
  closeDataFile();  // still open only when a host allocation error cut this thread's last call short
  giveBackXdf();    // likewise
  platform::LockGuard hold(lock);
  if (started) return;
  static bool forkHandled = false;  // once per image: the system forgets the handlers at unload
  if (!forkHandled) forkHandled = platform::atFork(nullptr, nullptr, moduleInChild);
  // Read once per load, not at every call: another thread may be changing the environment.
  threadLimit = threadsFromEnvironment();
  mexAtExit(endModule);
  started = true;
}

// The host's own check for an interrupt (Ctrl-C) between chunks of a read, where it has one.
#if defined(EEGMEX_HOST_INTERRUPT)
int interruptPending() { return eegmexInterruptPending(); }
#else
int (*const interruptPending)() = nullptr;
#endif

// What a call tells in its second output.
struct CallReport {
  int64_t frames = 0, outputs = 0;
  int64_t firstOutput = 0;      // the output sample the first row of the result holds
  bool boundByNPoints = false;  // HDR.nPoints ended the read before the file's end
  eeg::OnlineReport online;
};

void setMessage(char (&message)[eeg::kMessageSize], eeg::Msg m) { eeg::formatMessage(message, m); }

// A new m x n double matrix for the caller to fill completely. Where the host can, its elements are
// left unset: no zero fill touches the storage before the read writes it (a first touch of every
// page, on one thread, which costs about as much as the read's own writes).
mxArray* newMatrix(int64_t m, int64_t n) {
#if defined(EEGMEX_HOST_UNINIT_MATRIX)
  mxArray* made =
      mxCreateUninitNumericMatrix(static_cast<size_t>(m), static_cast<size_t>(n), mxDOUBLE_CLASS, mxREAL);
  // Untouched storage about to be written whole: large pages save most of its page faults.
  if (made) eeg::prepareFreshTarget(mxGetPr(made), m * n);
  return made;
#else
  return mxCreateDoubleMatrix(static_cast<mwSize>(m), static_cast<mwSize>(n), mxREAL);
#endif
}

// Zeroes rows `first` .. rows - 1 of a rows x columns matrix: in a new matrix, the rows of blocks
// past the end of a short file, which the read does not write.
void zeroRowsFrom(double* target, int64_t rows, int32_t columns, int64_t first) {
  if (first < 0) first = 0;
  if (first >= rows) return;
  for (int32_t k = 0; k < columns; ++k) {
    double* column = target + static_cast<size_t>(k) * static_cast<size_t>(rows);
    std::fill(column + first, column + rows, 0.0);
  }
}

// A numeric vector as doubles: the array's own storage when it holds doubles, otherwise an
// exact copy in `copy`. Null when the copy cannot be allocated.
const double* asDoubles(const mxArray* a, std::unique_ptr<double[]>& copy) {
  if (mxGetClassID(a) == mxDOUBLE_CLASS) return mxGetPr(a);
  size_t n = mxGetNumberOfElements(a);
  copy.reset(new (std::nothrow) double[n ? n : 1]);
  if (!copy) return nullptr;
  for (size_t i = 0; i < n; ++i) copy[i] = eeg::numericElement(a, i);
  return copy.get();
}

// The plan of a call without its window, with the copies it needs in `copies`. Raises no host error;
// false with the message when memory runs out.
struct PlanCopies {
  std::unique_ptr<double[]> scale, a, b, weights, offset, sosRows;
  std::unique_ptr<int32_t[]> channels, recordSamples;
};

bool buildPlan(const eeg::ReaderCall& call, PlanCopies& copies, eeg::ReadPlan& plan,
               char (&message)[eeg::kMessageSize]) {
  const eeg::Msg outOfMemory = eeg::Msg::outOfMemory;
  plan.nChans = call.nChans;
  plan.binaryFormat = call.binaryFormat;
  plan.swapBytes = call.endian != 'l';
  plan.dataOffset = call.dataOffset;
  plan.nPoints = call.nPoints;
  plan.decimationFactor = call.decimationFactor;
  plan.nSel = call.nSel;

  plan.scale = asDoubles(call.scale, copies.scale);
  if (!plan.scale) return setMessage(message, outOfMemory), false;
  plan.filterLength = call.filterLength;
  if (call.filtA) {
    plan.a = asDoubles(call.filtA, copies.a);
    plan.b = asDoubles(call.filtB, copies.b);
    if (!plan.a || !plan.b) return setMessage(message, outOfMemory), false;
  }
  if (call.sos) {  // the sections row by row, as the core takes them
    copies.sosRows.reset(new (std::nothrow) double[size_t(call.sections) * 6]);
    if (!copies.sosRows) return setMessage(message, outOfMemory), false;
    eeg::sosRowsOf(call, copies.sosRows.get());
    plan.sos = copies.sosRows.get();
    plan.sections = call.sections;
  }
  if (call.weights) {
    plan.weights = asDoubles(call.weights, copies.weights);
    if (!plan.weights) return setMessage(message, outOfMemory), false;
  }
  copies.channels.reset(new (std::nothrow) int32_t[call.nSel ? call.nSel : 1]);
  if (!copies.channels) return setMessage(message, outOfMemory), false;
  for (int32_t k = 0; k < call.nSel; ++k)
    copies.channels[k] = static_cast<int32_t>(eeg::numericElement(call.chanidx, static_cast<size_t>(k))) - 1;
  plan.channels = copies.channels.get();
  if (call.recordSamples) {
    copies.recordSamples.reset(new (std::nothrow) int32_t[call.nChans]);
    if (!copies.recordSamples) return setMessage(message, outOfMemory), false;
    for (int32_t c = 0; c < call.nChans; ++c)
      copies.recordSamples[c] =
          static_cast<int32_t>(eeg::numericElement(call.recordSamples, static_cast<size_t>(c)));
    plan.recordSamples = copies.recordSamples.get();
  }
  if (call.offset) {
    plan.offset = asDoubles(call.offset, copies.offset);
    if (!plan.offset) return setMessage(message, outOfMemory), false;
  }
  return true;
}

// The frames in the file now, as far as HDR.nPoints reaches: what OPT.newest and OPT.newRows read, so
// that frames a writer adds meanwhile cannot shift the rows.
int64_t framesThere(std::FILE* file, const eeg::ReadPlan& plan) {
  // An XDF stream's frames are counted from its chunks by the call's preparation, into nPoints.
  if (t_xdf) return plan.nPoints;
  const int64_t length = eeg::fileLength(file);
  eeg::FrameGeometry geometry;
  if (length >= 0 && eeg::frameGeometry(plan, geometry)) {
    const int64_t there = geometry.framesIn(length - plan.dataOffset);
    if (there < plan.nPoints) return there;
  }
  return plan.nPoints;
}

// The streams of this call: those a host's caller holds for it, or the module's.
eeg::StreamCache& callStreams() {
  auto* streams = static_cast<eeg::StreamCache*>(eegmexCallStreams());
  return streams ? *streams : g_module.streams;
}

// Of a call with OPT.newRows: the output samples it returns, [first, end), the first of them the first
// no earlier call returned from this stream. Sets call.newRowsFirst and call.newRowsEnd.
bool newRowsSpan(eeg::ReaderCall& call, std::FILE* file, char (&message)[eeg::kMessageSize]) {
  PlanCopies copies;
  eeg::ReadPlan plan;
  if (!buildPlan(call, copies, plan, message)) return false;
  call.newRowsFrames = framesThere(file, plan);
  call.newRowsEnd = call.newRowsFrames / call.decimationFactor;
  call.newRowsFirst = eeg::returnedOutputs(callStreams(), file, plan, call.fileName);
  return true;
}

// The read with its working storage, all of which is released before this returns. Raises no
// host error; a failure comes back as false with its message. `report`: the frames and output samples
// the read completed, counted from the first, and what a read asked to go on did.
bool runRead(const eeg::ReaderCall& call, std::FILE* file, double* target, int64_t stride, int64_t rowStep,
             int64_t columnStep, CallReport& report, char (&message)[eeg::kMessageSize],
             char (&warning)[eeg::kMessageSize]) {
  const eeg::Msg outOfMemory = eeg::Msg::outOfMemory;
  PlanCopies copies;
  eeg::ReadPlan plan;
  if (!buildPlan(call, copies, plan, message)) return false;
  plan.target = target;
  plan.stride = stride;
  plan.rowStep = rowStep;
  plan.columnStep = columnStep;
  if (t_xdf) {  // the frames of one stream of an XDF file, gathered from its chunks
    plan.gather = t_xdf->gather();
    plan.dataOffset = t_xdf->streamOffset();
  }
  plan.threadLimit = call.threads;
  if (plan.threadLimit == 0) {
    platform::LockGuard hold(g_module.lock);
    plan.threadLimit = g_module.threadLimit;
  }
  plan.interruptPending = interruptPending;

  // The window: unset source bounds cover every output sample; a new matrix is filled from row 0.
  int64_t nOut = call.nPoints / call.decimationFactor;
  plan.destStart = call.data ? call.destStart : 0;
  plan.destEnd = call.data ? call.destEnd : nOut;
  plan.srcStart = call.srcStart == -1 ? 0 : call.srcStart;
  plan.srcEnd = call.srcEnd == -1 ? nOut : call.srcEnd;
  eeg::OnlineTrack track = eeg::OnlineTrack::none;
  if (call.newest) {
    // The newest rows-of-OPT.data output samples of the frames there now, the newest in the last row.
    plan.nPoints = framesThere(file, plan);
    nOut = plan.nPoints / call.decimationFactor;
    track = eeg::OnlineTrack::newest;
    const int64_t rows = call.targetRows;
    plan.srcStart = nOut > rows ? nOut - rows : 0;
    plan.srcEnd = nOut - 1;
    plan.destStart = rows - (nOut - plan.srcStart);
    plan.destEnd = rows - 1;
  } else if (call.newRows) {
    // The outputs newRowsSpan found: the read stops at the frames that were there then.
    if (call.newRowsFrames < plan.nPoints) plan.nPoints = call.newRowsFrames;
    plan.srcStart = call.newRowsFirst;
    plan.srcEnd = call.newRowsEnd - 1;
    plan.destStart = 0;
    plan.destEnd = stride - 1;
    track = eeg::OnlineTrack::newRows;
  }
  report.firstOutput = plan.srcStart - plan.destStart;

  eeg::ReadOutcome outcome;
  report.online.reason = call.resume ? eeg::FullReadReason::noData : eeg::FullReadReason::notAsked;
  // Without OPT.data (or OPT.newRows) every output sample is returned: nothing to go on from.
  if (call.resume && (call.data || call.newRows)) {
    outcome = eeg::readOnline(callStreams(), file, plan, call.fileName, report.online, track);
  } else {
    outcome = eeg::readRecording(file, plan);
  }
  if (outcome.status == eeg::ReadStatus::outOfMemory) return setMessage(message, outOfMemory), false;
  if (outcome.status == eeg::ReadStatus::readError) return setMessage(message, eeg::Msg::readError), false;
  if (outcome.status == eeg::ReadStatus::interrupted)
    return setMessage(message, eeg::Msg::interrupted), false;
  report.frames = outcome.framesRead;
  report.outputs = outcome.blocks;
  if (!call.nPointsFromFile && outcome.framesRead == plan.nPoints) {
    const int64_t length = eeg::fileLength(file);
    eeg::FrameGeometry geometry;
    if (length >= 0 && eeg::frameGeometry(plan, geometry))
      report.boundByNPoints = geometry.framesIn(length - plan.dataOffset) > plan.nPoints;
  }
  if (outcome.framesRead < call.nPoints) {
    std::snprintf(warning, eeg::kMessageSize, eeg::messageText(eeg::Msg::shortFile),
                  static_cast<long long>(call.nPoints), static_cast<long long>(outcome.framesRead));
  }
  return true;
}

// The second output: a struct with what the call saw and did.
mxArray* newInfo(const CallReport& report) {
  const char* names[] = {"frames", "outputs",     "resumedFrames", "fullReadReason",
                         "limit",  "firstOutput", "missed"};
  mxArray* info = mxCreateStructMatrix(1, 1, 7, names);
  mxSetField(info, 0, "frames", mxCreateDoubleScalar(static_cast<double>(report.frames)));
  mxSetField(info, 0, "outputs", mxCreateDoubleScalar(static_cast<double>(report.outputs)));
  mxSetField(info, 0, "resumedFrames",
             mxCreateDoubleScalar(static_cast<double>(report.online.resumedFrames)));
  mxSetField(info, 0, "fullReadReason", mxCreateString(eeg::fullReadReasonText(report.online.reason)));
  mxSetField(info, 0, "limit", mxCreateString(report.boundByNPoints ? "HDR.nPoints" : ""));
  mxSetField(info, 0, "firstOutput", mxCreateDoubleScalar(static_cast<double>(report.firstOutput)));
  mxSetField(info, 0, "missed", mxCreateDoubleScalar(static_cast<double>(report.online.missed)));
  return info;
}

// Warns when OPT.data's storage is shared with another value, which the in-place write has changed
// too (a matrix literal in a loop, or X after OPT.data = X). Only a host that can tell warns.
void warnIfShared(const mxArray* data) {
  if (data && eegmexSharedStorage(data) == 1)
    mexWarnMsgIdAndTxt("eegfetch:sharedData", eeg::messageText(eeg::Msg::sharedData));
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  g_module.start();

  char message[eeg::kMessageSize] = "";
  char warning[eeg::kMessageSize] = "";
  eeg::ReaderCall call;
  if (!eeg::validateCall(nlhs, nrhs, prhs, call, &t_dataFile, message)) {
    mexErrMsgTxt(message);  // the checks have closed the file
    return;
  }
  if (eeg::XdfFrames::wanted(prhs[1])) {  // one stream of an XDF file
    bool ready = borrowXdf();
    if (!ready)
      eeg::formatMessage(message, eeg::Msg::outOfMemory);
    else
      ready = t_xdf->prepare(prhs[0], prhs[1], t_dataFile, call, message);
    if (!ready) {
      closeDataFile();
      giveBackXdf();
      mexErrMsgTxt(message);
      return;
    }
  }

  // Only the data file is open here.
  mxArray* result = nullptr;
  double* target = nullptr;
  int64_t stride = 0, rowStep = 1, columnStep = 0;  // the target's layout, always given
  if (call.data) {
    target = mxGetPr(call.data);
    stride = call.targetRows;
    eegmexTargetSteps(call.data, &rowStep, &columnStep);  // column-major but in the Python host
  } else {
    int64_t nOut = call.nPoints / call.decimationFactor;  // nPoints fits 32 bits, so nOut does
    if (call.newRows) {
      if (!newRowsSpan(call, t_dataFile, message)) {
        closeDataFile();
        giveBackXdf();
        mexErrMsgTxt(message);
        return;
      }
      nOut = call.newRowsEnd > call.newRowsFirst ? call.newRowsEnd - call.newRowsFirst : 0;
    }
    result = newMatrix(nOut, call.nSel);
    target = mxGetPr(result);
    stride = nOut;
    columnStep = nOut;  // column-major
  }

  CallReport report;
  bool ok = runRead(call, t_dataFile, target, stride, rowStep, columnStep, report, message, warning);
  closeDataFile();
  giveBackXdf();
  if (!ok) {
    mexErrMsgTxt(message);  // the host releases the unreturned result matrix
    return;
  }

  if (!call.data) {
    // The read wrote rows 0 .. outputs - 1, one per completed block; a short file leaves the rest.
    zeroRowsFrom(target, stride, call.nSel, report.outputs - report.firstOutput);
    plhs[0] = result;
  } else if (nlhs >= 1 && eegmexOutputWanted(0)) {
    // The filled matrix as a copy: always safe to use, whatever shares OPT.data's storage.
    size_t m = static_cast<size_t>(call.targetRows), n = static_cast<size_t>(call.nSel);
    mxArray* copy = newMatrix(static_cast<int64_t>(m), static_cast<int64_t>(n));
    const double* from = mxGetPr(call.data);
    double* to = mxGetPr(copy);
    if (rowStep == 1 && static_cast<size_t>(columnStep) == m) {
      if (m * n > 0) std::memcpy(to, from, m * n * sizeof(double));
    } else {
      for (size_t k = 0; k < n; ++k)
        for (size_t i = 0; i < m; ++i)
          to[k * m + i] = from[static_cast<int64_t>(k) * columnStep + static_cast<int64_t>(i) * rowStep];
    }
    plhs[0] = copy;
  }
  if (nlhs >= 2) plhs[1] = newInfo(report);
  warnIfShared(call.data);
  if (warning[0]) mexWarnMsgTxt(warning);
}
