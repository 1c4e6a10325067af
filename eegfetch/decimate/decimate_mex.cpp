// eegmex_decimate: the reader's filter and decimator on chunks from a live source.
//   S = eegmex_decimate(HDR, OPT)
//   [Y, S] = eegmex_decimate(S, X)
//   [Y, S, T, G] = eegmex_decimate(S, X, t)
// HDR and OPT go through eegfetch's own checks (validateStreamSetup); the state S is a struct of
// plain double vectors (eeg::packSettings and the decimator's state, chunk_decimator.h) with a check
// value, so a copy, a saved and loaded one or one from another process goes on alike, and one that
// was changed is refused.
//
// Every check runs before anything of ours is allocated; the outputs are made next, and only then the
// core decimator, which is released before any error could be raised. A failed call leaves the
// caller's S as it was (Octave and MATLAB values are never changed in place).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../reader_call.h"
#include "chunk_decimator.h"
#include "mexapi.h"
#include "mxelement.h"

namespace {

// clang-format off
#define DECIMATE_MESSAGES(X) \
  X(arguments, "eegmex_decimate:arguments", "Call S = eegmex_decimate(HDR, OPT), [Y, S] = eegmex_decimate(S, X) or [Y, S, T, G] = eegmex_decimate(S, X, t).") \
  X(setup, "eegmex_decimate:setup", "%s") \
  X(maxGap, "eegmex_decimate:setup", "OPT.maxGap must be a real scalar above 0 (seconds).") \
  X(state, "eegmex_decimate:state", "S is not a state that eegmex_decimate made, or it was changed: make one with S = eegmex_decimate(HDR, OPT).") \
  X(stateVersion, "eegmex_decimate:state", "S was made by another version of eegmex_decimate (its settings are version %g; this one reads version %g): make a new one with S = eegmex_decimate(HDR, OPT).") \
  X(chunkClass, "eegmex_decimate:chunk", "X must be a real matrix of class double, single, int16 or int32.") \
  X(chunkColumns, "eegmex_decimate:chunk", "X must have HDR.nChans (%d) columns, one per channel, and a row per frame; it has %lld columns.") \
  X(timesCount, "eegmex_decimate:times", "t must hold one time per frame of X (%lld); it holds %lld.") \
  X(timesClass, "eegmex_decimate:times", "t must be a real double vector of finite times (seconds).") \
  X(timesBackwards, "eegmex_decimate:times", "t goes backwards at frame %lld of X: %f s after %f s.") \
  X(outOfMemory, "eegmex_decimate:memory", "Not enough memory for the decimator.")
// clang-format on

enum class M {
#define DECIMATE_NAME(name, id, text) name,
  DECIMATE_MESSAGES(DECIMATE_NAME)
#undef DECIMATE_NAME
};
const char* const kIds[] = {
#define DECIMATE_ID(name, id, text) id,
    DECIMATE_MESSAGES(DECIMATE_ID)
#undef DECIMATE_ID
};
const char* const kTexts[] = {
#define DECIMATE_TEXT(name, id, text) text,
    DECIMATE_MESSAGES(DECIMATE_TEXT)
#undef DECIMATE_TEXT
};
const char* const kGapId = "eegmex_decimate:gap";
const char* const kGapText =
    "eegmex_decimate: the times jump by %g s before frame %lld of the stream (more than OPT.maxGap, %g s); "
    "no frames were made up for the gap.";

// A message with its identifier, ready to raise once nothing of ours is alive.
struct Failure {
  const char* id = nullptr;
  char text[eeg::kMessageSize] = "";
};

template <typename... A>
bool fail(Failure& f, M m, A... args) {
  f.id = kIds[static_cast<int>(m)];
  if constexpr (sizeof...(A) == 0)
    std::snprintf(f.text, sizeof f.text, "%s", kTexts[static_cast<int>(m)]);
  else
    std::snprintf(f.text, sizeof f.text, kTexts[static_cast<int>(m)], args...);
  return false;
}

bool isRealDoubleRow(const mxArray* a) {
  return a && mxGetClassID(a) == mxDOUBLE_CLASS && !mxIsComplex(a) && !mxIsSparse(a) && mxGetM(a) <= 1;
}

// ---- S = eegmex_decimate(HDR, OPT)

bool newState(const mxArray* hdr, const mxArray* opt, mxArray*& state, Failure& f) {
  eeg::ReaderCall call;
  char message[eeg::kMessageSize] = "";
  if (!eeg::validateStreamSetup(hdr, opt, call, message)) return fail(f, M::setup, message);
  double maxGap = 2.0 / call.fs;
  if (mxGetFieldNumber(opt, "maxGap") != -1) {
    const mxArray* g = mxGetField(opt, 0, "maxGap");
    if (!g || !mxIsNumeric(g) || mxIsComplex(g) || mxIsSparse(g) || mxGetNumberOfElements(g) != 1)
      return fail(f, M::maxGap);
    maxGap = eeg::numericElement(g, 0);
    if (!(maxGap > 0.0) || std::isnan(maxGap)) return fail(f, M::maxGap);
  }

  // The settings as doubles, in storage the host releases whatever happens.
  const int nChans = call.nChans, nSel = call.nSel, L = call.filterLength, factor = call.decimationFactor;
  const size_t doubles = size_t(nChans) * 2 + size_t(L) * 2 + size_t(call.sections) * 6 + size_t(factor) + 1;
  double* scratch = static_cast<double*>(mxCalloc(doubles, sizeof(double)));
  int32_t* channels = static_cast<int32_t*>(mxCalloc(size_t(nSel) + 1, sizeof(int32_t)));
  if (!scratch || !channels) return fail(f, M::outOfMemory);
  eeg::ChunkSettings s;
  double* p = scratch;
  const auto take = [&p](const mxArray* a, size_t n) {
    double* at = p;
    for (size_t i = 0; i < n; ++i) at[i] = eeg::numericElement(a, i);
    p += n;
    return at;
  };
  s.setup.scale = take(call.scale, size_t(nChans));
  if (call.offset) s.setup.offset = take(call.offset, size_t(nChans));
  eeg::DecimatorSetup& d = s.setup.decimator;
  d.nChans = nChans;
  d.factor = factor;
  d.filterLength = L;
  if (call.filtA) {
    d.b = take(call.filtB, size_t(L));
    d.a = take(call.filtA, size_t(L));
  }
  if (call.sos) {  // the sections row by row, as the core takes them
    eeg::sosRowsOf(call, p);
    d.sos = p;
    d.sections = call.sections;
    p += size_t(call.sections) * 6;
  }
  if (call.weights) d.weights = take(call.weights, size_t(factor));
  for (int k = 0; k < nSel; ++k)
    channels[k] = static_cast<int32_t>(eeg::numericElement(call.chanidx, size_t(k))) - 1;
  d.channels = channels;
  d.nSel = nSel;
  s.fs = call.fs;
  s.maxGap = maxGap;

  int64_t stateDoubles = -1;
  {
    eeg::ChunkDecimator probe;
    if (probe.setup(s.setup)) stateDoubles = probe.decimator().stateSize();
  }
  if (stateDoubles < 0) return fail(f, M::outOfMemory);

  const int64_t setupDoubles = eeg::settingsSize(s);
  const char* names[] = {"setup", "state", "check"};
  state = mxCreateStructMatrix(1, 1, 3, names);
  mxArray* setupArray = mxCreateDoubleMatrix(1, static_cast<mwSize>(setupDoubles), mxREAL);
  mxArray* stateArray = mxCreateDoubleMatrix(1, static_cast<mwSize>(eeg::kStateHead + stateDoubles), mxREAL);
  mxArray* check = mxCreateDoubleMatrix(1, 2, mxREAL);
  eeg::packSettings(s, mxGetPr(setupArray));
  double* st = mxGetPr(stateArray);
  st[1] = NAN;  // no frame yet
  eeg::stateCheck(mxGetPr(setupArray), setupDoubles, st, eeg::kStateHead + stateDoubles, mxGetPr(check));
  mxSetField(state, 0, "setup", setupArray);
  mxSetField(state, 0, "state", stateArray);
  mxSetField(state, 0, "check", check);
  return true;
}

// ---- [Y, S, T, G] = eegmex_decimate(S, X, t)

struct Push {
  const double* setup = nullptr;
  int64_t setupSize = 0;
  const double* state = nullptr;
  int64_t stateSize = 0;
  eeg::ChunkSettings settings;
  int32_t* channels = nullptr;
  eeg::ChunkView chunk;
  const mxArray* times = nullptr;
  int64_t gaps = 0;
};

bool checkPush(int nrhs, const mxArray* prhs[], Push& p, Failure& f) {
  const mxArray* S = prhs[0];
  if (!S || !mxIsStruct(S) || mxGetNumberOfElements(S) != 1) return fail(f, M::state);
  const mxArray* setup = mxGetField(S, 0, "setup");
  const mxArray* state = mxGetField(S, 0, "state");
  const mxArray* check = mxGetField(S, 0, "check");
  if (!isRealDoubleRow(setup) || !isRealDoubleRow(state) || !isRealDoubleRow(check) ||
      mxGetNumberOfElements(check) != 2)
    return fail(f, M::state);
  p.setup = mxGetPr(setup);
  p.setupSize = static_cast<int64_t>(mxGetNumberOfElements(setup));
  p.state = mxGetPr(state);
  p.stateSize = static_cast<int64_t>(mxGetNumberOfElements(state));
  double expected[2];
  eeg::stateCheck(p.setup, p.setupSize, p.state, p.stateSize, expected);
  const double* given = mxGetPr(check);
  if (given[0] != expected[0] || given[1] != expected[1]) return fail(f, M::state);
  if (p.setupSize > 0 && p.setup[0] != eeg::kStateVersion)
    return fail(f, M::stateVersion, p.setup[0], eeg::kStateVersion);
  const int64_t nSel = p.setupSize > 3 ? static_cast<int64_t>(p.setup[3]) : 0;
  if (!(nSel >= 0 && nSel <= p.setupSize)) return fail(f, M::state);
  p.channels = static_cast<int32_t*>(mxCalloc(size_t(nSel) + 1, sizeof(int32_t)));
  if (!p.channels) return fail(f, M::outOfMemory);
  if (!eeg::unpackSettings(p.setup, p.setupSize, p.settings, p.channels, nSel) ||
      p.stateSize < eeg::kStateHead ||
      !(p.state[0] >= 0 && p.state[0] <= 9007199254740992.0 && p.state[0] == std::floor(p.state[0])))
    return fail(f, M::state);

  const mxArray* X = prhs[1];
  const mxClassID cls = X ? mxGetClassID(X) : mxUNKNOWN_CLASS;
  if (!X || !mxIsNumeric(X) || mxIsComplex(X) || mxIsSparse(X) ||
      (cls != mxDOUBLE_CLASS && cls != mxSINGLE_CLASS && cls != mxINT16_CLASS && cls != mxINT32_CLASS))
    return fail(f, M::chunkClass);
  const int nChans = p.settings.setup.decimator.nChans;
  const int64_t rows = static_cast<int64_t>(mxGetM(X));
  const int64_t cols = static_cast<int64_t>(mxGetN(X));
  if (cols != nChans && !(rows == 0 && cols == 0))
    return fail(f, M::chunkColumns, nChans, static_cast<long long>(cols));
  p.chunk.data = mxGetData(X);
  p.chunk.type = cls == mxDOUBLE_CLASS   ? eeg::ChunkType::float64
                 : cls == mxSINGLE_CLASS ? eeg::ChunkType::float32
                 : cls == mxINT16_CLASS  ? eeg::ChunkType::int16
                                         : eeg::ChunkType::int32;
  p.chunk.frames = rows;
  p.chunk.frameStep = 1;  // column-major: a frame's samples lie a column apart
  p.chunk.channelStep = rows;

  if (nrhs < 3) return true;
  const mxArray* t = prhs[2];
  if (!t || mxGetClassID(t) != mxDOUBLE_CLASS || mxIsComplex(t) || mxIsSparse(t))
    return fail(f, M::timesClass);
  const int64_t n = static_cast<int64_t>(mxGetNumberOfElements(t));
  if (n != rows || (n > 0 && mxGetM(t) != 1 && mxGetN(t) != 1))
    return fail(f, M::timesCount, static_cast<long long>(rows), static_cast<long long>(n));
  int64_t at = 0;
  const eeg::TimesCheck c = eeg::checkTimes(mxGetPr(t), n, 1, p.state[1], p.settings.maxGap, p.gaps, at);
  if (c == eeg::TimesCheck::notFinite) return fail(f, M::timesClass);
  if (c == eeg::TimesCheck::backwards)
    return fail(f, M::timesBackwards, static_cast<long long>(at + 1), mxGetPr(t)[at],
                at > 0 ? mxGetPr(t)[at - 1] : p.state[1]);
  p.times = t;
  return true;
}

// The decimator of the last push's settings, kept by the module so that a loop of pushes of one
// stream sets nothing up again: each push puts its own state into it. Released when the host lets go of
// the module.
// Octave and MATLAB run a module's calls one at a time; the Python package calls this gateway only to
// set a stream up and pushes through objects of its own (python/ext/decimator.cpp).
struct Kept {
  eeg::ChunkDecimator decimator;
  double* setup = nullptr;  // the settings vector it was set up with (malloc)
  int64_t setupSize = 0;
  bool registered = false;
  void release() {
    decimator.release();
    std::free(setup);
    setup = nullptr;
    setupSize = 0;
  }
};
Kept g_kept;

void releaseKept() {
  g_kept.release();
  g_kept.registered = false;
}

// The kept decimator, set up for these settings. Null when memory runs out.
eeg::ChunkDecimator* decimatorFor(const Push& p) {
  if (g_kept.decimator.ready() && g_kept.setupSize == p.setupSize &&
      std::memcmp(g_kept.setup, p.setup, sizeof(double) * size_t(p.setupSize)) == 0)
    return &g_kept.decimator;
  g_kept.release();
  g_kept.setup = static_cast<double*>(std::malloc(sizeof(double) * size_t(p.setupSize)));
  if (!g_kept.setup || !g_kept.decimator.setup(p.settings.setup)) {
    g_kept.release();
    return nullptr;
  }
  std::memcpy(g_kept.setup, p.setup, sizeof(double) * size_t(p.setupSize));
  g_kept.setupSize = p.setupSize;
  return &g_kept.decimator;
}

// Runs the push into the outputs made for it: ok, or the failure's message.
enum class PushStatus { ok, outOfMemory, state };
PushStatus runPush(const Push& p, double* y, int64_t rows, double* newState, double* times, double* gaps) {
  eeg::ChunkDecimator* kept = decimatorFor(p);
  if (!kept) return PushStatus::outOfMemory;
  eeg::ChunkDecimator& d = *kept;
  const int64_t stateDoubles = d.decimator().stateSize();
  if (p.stateSize != eeg::kStateHead + stateDoubles) return PushStatus::state;
  const int64_t first = static_cast<int64_t>(p.state[0]);
  d.decimator().restoreState(p.state + eeg::kStateHead, first);
  if (times) {
    const double* t = mxGetPr(p.times);
    for (int64_t e = 0; e < rows; ++e) times[e] = t[d.lastFrameOfRow(e)];
    eeg::listGaps(t, p.chunk.frames, 1, p.state[1], p.settings.maxGap, first, gaps, gaps + p.gaps);
  }
  d.push(p.chunk, y, 1, rows);
  newState[0] = static_cast<double>(d.frames());
  newState[1] = p.times && p.chunk.frames > 0 ? mxGetPr(p.times)[p.chunk.frames - 1] : p.state[1];
  newState[2] = p.state[2] + static_cast<double>(p.gaps);
  d.decimator().takeState(newState + eeg::kStateHead);
  return PushStatus::ok;
}

bool push(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], Failure& f) {
  if (!g_kept.registered) {
    mexAtExit(releaseKept);
    g_kept.registered = true;
  }
  Push p;
  if (!checkPush(nrhs, prhs, p, f)) return false;
  const int64_t factor = p.settings.setup.decimator.factor;
  const int64_t first = static_cast<int64_t>(p.state[0]);
  const int64_t rows = (first % factor + p.chunk.frames) / factor;
  const int nSel = p.settings.setup.decimator.nSel;

  mxArray* y = mxCreateDoubleMatrix(static_cast<mwSize>(rows), nSel, mxREAL);
  const char* names[] = {"setup", "state", "check"};
  mxArray* S = mxCreateStructMatrix(1, 1, 3, names);
  mxArray* setupArray = mxCreateDoubleMatrix(1, static_cast<mwSize>(p.setupSize), mxREAL);
  mxArray* stateArray = mxCreateDoubleMatrix(1, static_cast<mwSize>(p.stateSize), mxREAL);
  mxArray* check = mxCreateDoubleMatrix(1, 2, mxREAL);
  mxArray* T = p.times ? mxCreateDoubleMatrix(static_cast<mwSize>(rows), 1, mxREAL) : nullptr;
  mxArray* G = p.times ? mxCreateDoubleMatrix(static_cast<mwSize>(p.gaps), 2, mxREAL) : nullptr;
  std::memcpy(mxGetPr(setupArray), p.setup, sizeof(double) * size_t(p.setupSize));
  const PushStatus status =
      runPush(p, mxGetPr(y), rows, mxGetPr(stateArray), T ? mxGetPr(T) : nullptr, G ? mxGetPr(G) : nullptr);
  if (status != PushStatus::ok) return fail(f, status == PushStatus::state ? M::state : M::outOfMemory);
  eeg::stateCheck(mxGetPr(setupArray), p.setupSize, mxGetPr(stateArray), p.stateSize, mxGetPr(check));
  mxSetField(S, 0, "setup", setupArray);
  mxSetField(S, 0, "state", stateArray);
  mxSetField(S, 0, "check", check);
  plhs[0] = y;
  if (nlhs >= 2) plhs[1] = S;
  if (nlhs >= 3) plhs[2] = T ? T : mxCreateDoubleMatrix(0, 1, mxREAL);
  if (nlhs >= 4) plhs[3] = G ? G : mxCreateDoubleMatrix(0, 2, mxREAL);
  if (G) {
    const double* g = mxGetPr(G);
    for (int64_t i = 0; i < p.gaps; ++i)
      mexWarnMsgIdAndTxt(kGapId, kGapText, g[p.gaps + i], static_cast<long long>(g[i]), p.settings.maxGap);
  }
  return true;
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  Failure f;
  bool ok = false;
  const bool isState =
      nrhs >= 1 && prhs[0] && mxIsStruct(prhs[0]) && mxGetFieldNumber(prhs[0], "check") != -1;
  if (nrhs == 2 && !isState && prhs[1] && mxIsStruct(prhs[1])) {
    mxArray* state = nullptr;
    ok = nlhs <= 1 ? newState(prhs[0], prhs[1], state, f) : fail(f, M::arguments);
    if (ok) plhs[0] = state;
  } else if ((nrhs == 2 || nrhs == 3) && nlhs <= (nrhs == 3 ? 4 : 2)) {
    ok = push(nlhs, plhs, nrhs, prhs, f);
  } else {
    fail(f, M::arguments);
  }
  if (!ok) mexErrMsgIdAndTxt(f.id, "%s", f.text);
}
