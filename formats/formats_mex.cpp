// The module behind eegmex_vhdr, eegmex_vmrk, eegmex_edf and eegmex_events: a thin layer that hands
// the readers' records to the caller as columns, which those functions shape into their structs.
//
//   [out, id, msg, wid, wmsg] = eegmex_formats(command, ...)
//     'vhdr', file | 'vmrk', file | 'edf', file[, withEvents] | 'events', HDR, state, upTo
//   id/msg: the identifier and text of the error to raise ('' when none); wid/wmsg: a warning.
// Texts of many values come as a 1 x n cell.
//
// Nothing here raises a host error while an object with a destructor is alive: everything the
// readers make lives in the module's state, which the next call and the unload clear.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "brainvision.h"
#include "edf.h"
#include "follow.h"
#include "mexapi.h"
#include "mxelement.h"
#include "text.h"

namespace {

struct Module {
  bool started = false;
  std::string command, file, caller;
  std::vector<const char*> texts;  // scratch of textsOf
  eegfmt::Problem problem;
  std::string errorId, errorText, warningId, warningText;
  eegfmt::VhdrHeader vhdr;
  std::vector<eegfmt::Marker> markers;
  eegfmt::EdfHeader edf;
  std::vector<eegfmt::EdfEvent> events;
  eegfmt::FollowState state;
  eegfmt::RecordLayout layout;
  eegfmt::StartOver why = eegfmt::StartOver::no;

  void clear() {
    command.clear(), file.clear(), caller.clear();
    problem = eegfmt::Problem();
    errorId.clear(), errorText.clear(), warningId.clear(), warningText.clear();
    vhdr = eegfmt::VhdrHeader();
    markers.clear(), markers.shrink_to_fit();
    edf = eegfmt::EdfHeader();
    events.clear(), events.shrink_to_fit();
    state = eegfmt::FollowState();
    layout = eegfmt::RecordLayout();
  }
};

Module g_module;

void endModule() {
  g_module.clear();
  g_module.started = false;
}

// ---- reading arguments

bool textOf(const mxArray* a, std::string& out) {
  if (!a || !mxIsChar(a)) return false;
  const size_t n = mxGetNumberOfElements(a);
  out.assign(n * 4 + 1, '\0');  // room for any multibyte form the host writes
  if (mxGetString(a, &out[0], static_cast<mwSize>(out.size())) != 0) return false;
  const size_t length = std::strlen(out.c_str());
  if (length < n) return false;  // a NUL inside: the name would stand for its first part
  out.resize(length);
  return true;
}

const mxArray* fieldOf(const mxArray* s, const char* name) {
  if (!s || !mxIsStruct(s) || mxGetNumberOfElements(s) < 1 || mxGetFieldNumber(s, name) < 0) return nullptr;
  return mxGetField(s, 0, name);
}

bool numberOf(const mxArray* a, double& out) {
  if (!a || !mxIsNumeric(a) || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != 1) return false;
  out = mxElementAsDouble(mxGetClassID(a), mxGetData(a), 0);
  return true;
}

// A logical or numeric scalar as a switch; anything else is true.
bool flagOf(const mxArray* a) {
  if (!a || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != 1) return true;
  if (mxGetClassID(a) == mxLOGICAL_CLASS) return static_cast<const unsigned char*>(mxGetData(a))[0] != 0;
  return !mxIsNumeric(a) || mxElementAsDouble(mxGetClassID(a), mxGetData(a), 0) != 0;
}

// A real numeric or logical vector of n elements, as doubles.
bool vectorOf(const mxArray* a, size_t n, std::vector<double>& out) {
  if (!a || mxIsComplex(a) || mxIsSparse(a) || mxGetNumberOfElements(a) != n) return false;
  out.resize(n);
  if (mxGetClassID(a) == mxLOGICAL_CLASS) {
    const auto* b = static_cast<const unsigned char*>(mxGetData(a));
    for (size_t i = 0; i < n; ++i) out[i] = b[i] ? 1 : 0;
    return true;
  }
  if (!mxIsNumeric(a)) return false;
  for (size_t i = 0; i < n; ++i) out[i] = mxElementAsDouble(mxGetClassID(a), mxGetData(a), i);
  return true;
}

// ---- building results

mxArray* row(size_t n) { return mxCreateDoubleMatrix(1, static_cast<mwSize>(n), mxREAL); }

template <typename T, typename F>
mxArray* rowOf(const std::vector<T>& items, F value) {
  mxArray* a = row(items.size());
  double* d = mxGetPr(a);
  for (size_t i = 0; i < items.size(); ++i) d[i] = value(items[i]);
  return a;
}

// Many texts as a 1 x n cell of char rows.
template <typename T, typename F>
mxArray* textsOf(const std::vector<T>& items, F text) {
  std::vector<const char*>& texts = g_module.texts;
  texts.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) texts[i] = text(items[i]).c_str();
  return eegmexCreateStringCell(texts.data(), texts.size());
}

mxArray* structOf(std::initializer_list<std::pair<const char*, mxArray*>> fields) {
  const char* names[64];
  int n = 0;
  for (const auto& f : fields) names[n++] = f.first;
  mxArray* s = mxCreateStructMatrix(1, 1, n, names);
  for (const auto& f : fields) mxSetField(s, 0, f.first, f.second);
  return s;
}

mxArray* vhdrResult() {
  const eegfmt::VhdrHeader& h = g_module.vhdr;
  const auto self = [](const std::string& s) -> const std::string& { return s; };
  return structOf({{"fs", mxCreateDoubleScalar(h.fs)},
                   {"nChans", mxCreateDoubleScalar(h.nChans)},
                   {"BinaryFormat", mxCreateDoubleScalar(h.binaryFormat)},
                   {"scale", rowOf(h.scale, [](double v) { return v; })},
                   {"endian", mxCreateString(h.endian == 'b' ? "b" : "l")},
                   {"label", textsOf(h.label, self)},
                   {"reference", textsOf(h.reference, self)},
                   {"unit", textsOf(h.unit, self)},
                   {"dataFile", mxCreateString(h.dataFile.c_str())},
                   {"markerFile", mxCreateString(h.markerFile.c_str())}});
}

mxArray* markersResult(const std::vector<eegfmt::Marker>& m) {
  using eegfmt::Marker;
  return structOf(
      {{"type", textsOf(m, [](const Marker& x) -> const std::string& { return x.type; })},
       {"description", textsOf(m, [](const Marker& x) -> const std::string& { return x.description; })},
       {"position", rowOf(m, [](const Marker& x) { return x.position; })},
       {"points", rowOf(m, [](const Marker& x) { return x.points; })},
       {"channel", rowOf(m, [](const Marker& x) { return x.channel; })},
       {"date", textsOf(m, [](const Marker& x) -> const std::string& { return x.date; })}});
}

mxArray* eventsResult(const std::vector<eegfmt::EdfEvent>& e) {
  using eegfmt::EdfEvent;
  return structOf({{"status", rowOf(e, [](const EdfEvent& x) { return x.status ? 1.0 : 0.0; })},
                   {"onset", rowOf(e, [](const EdfEvent& x) { return x.onset; })},
                   {"duration", rowOf(e, [](const EdfEvent& x) { return x.duration; })},
                   {"text", textsOf(e, [](const EdfEvent& x) -> const std::string& { return x.text; })},
                   {"value", rowOf(e, [](const EdfEvent& x) { return x.value; })},
                   {"statusWord", rowOf(e, [](const EdfEvent& x) { return x.statusWord; })},
                   {"position", rowOf(e, [](const EdfEvent& x) { return x.position; })}});
}

mxArray* edfResult() {
  using eegfmt::EdfSignal;
  const eegfmt::EdfHeader& h = g_module.edf;
  const auto& s = h.signals;
  mxArray* start = row(6);
  for (int k = 0; k < 6; ++k) mxGetPr(start)[k] = h.startTime[k];
  return structOf(
      {{"fs", mxCreateDoubleScalar(h.fs)},
       {"nChans", mxCreateDoubleScalar(h.ns)},
       {"BinaryFormat", mxCreateDoubleScalar(h.bdf ? 4 : 1)},
       {"scale", rowOf(s, [](const EdfSignal& x) { return x.scale; })},
       {"offset", rowOf(s, [](const EdfSignal& x) { return x.offset; })},
       {"label", textsOf(s, [](const EdfSignal& x) -> const std::string& { return x.label; })},
       {"unit", textsOf(s, [](const EdfSignal& x) -> const std::string& { return x.unit; })},
       {"dataFile", mxCreateString(g_module.file.c_str())},
       {"dataOffset", mxCreateDoubleScalar(static_cast<double>(h.headerBytes))},
       {"recordSamples", rowOf(s, [](const EdfSignal& x) { return x.samples; })},
       {"channelFs", rowOf(s, [](const EdfSignal& x) { return x.rate; })},
       {"fsSamples", mxCreateDoubleScalar(h.fsSamples)},
       {"annotation", rowOf(s, [](const EdfSignal& x) { return x.annotation ? 1.0 : 0.0; })},
       {"statusChan", mxCreateDoubleScalar(h.statusChan + 1)},
       {"transducer", textsOf(s, [](const EdfSignal& x) -> const std::string& { return x.transducer; })},
       {"prefilter", textsOf(s, [](const EdfSignal& x) -> const std::string& { return x.prefilter; })},
       {"physicalMin", rowOf(s, [](const EdfSignal& x) { return x.physicalMin; })},
       {"physicalMax", rowOf(s, [](const EdfSignal& x) { return x.physicalMax; })},
       {"digitalMin", rowOf(s, [](const EdfSignal& x) { return x.digitalMin; })},
       {"digitalMax", rowOf(s, [](const EdfSignal& x) { return x.digitalMax; })},
       {"startTime", start},
       {"patient", mxCreateString(h.patient.c_str())},
       {"recording", mxCreateString(h.recording.c_str())},
       {"format", mxCreateString(h.format.c_str())},
       {"nRecords", mxCreateDoubleScalar(static_cast<double>(h.nRecords))},
       {"recordDuration", mxCreateDoubleScalar(static_cast<double>(h.fsSamples) / h.fs)},
       {"events", eventsResult(g_module.events)}});
}

// ---- the follower's state as a struct, and back

#define EEGMEX_STATE_NUMBERS(X)                                                                          \
  X(point)                                                                                               \
  X(checkAt)                                                                                             \
  X(checkDigest)                                                                                         \
  X(headBytes) X(headDigest) X(line) X(section) X(codePage) X(statusNext) X(statusPrevious) X(annRecord) \
      X(annSkip) X(firstOnset)

mxArray* stateResult(const char* source) {
  const eegfmt::FollowState& st = g_module.state;
#define EEGMEX_STATE_FIELD(name) {#name, mxCreateDoubleScalar(st.name)},
  return structOf({{"source", mxCreateString(source)},
                   {"file", mxCreateString(st.file.c_str())},
                   {"startedOver", mxCreateString(eegfmt::startOverText(g_module.why))},
                   EEGMEX_STATE_NUMBERS(EEGMEX_STATE_FIELD)});
#undef EEGMEX_STATE_FIELD
}

bool takeState(const mxArray* a, const char* source, eegfmt::FollowState& st) {
  st = eegfmt::FollowState();
  if (!a || (mxGetNumberOfElements(a) == 0 && !mxIsStruct(a))) return true;  // []: the first call
  std::string text;
  if (!textOf(fieldOf(a, "source"), text) || text != source) return false;
  if (!textOf(fieldOf(a, "file"), st.file)) return false;
#define EEGMEX_STATE_TAKE(name) \
  if (!numberOf(fieldOf(a, #name), st.name)) return false;
  EEGMEX_STATE_NUMBERS(EEGMEX_STATE_TAKE)
#undef EEGMEX_STATE_TAKE
  st.started = true;
  return true;
}

// ---- the commands

void setError(const char* kind, const std::string& text) {
  g_module.errorId = g_module.caller + ":" + kind;
  g_module.errorText = g_module.caller + ": " + text;
}

void setProblem() {
  setError(eegfmt::problemKindName(g_module.problem.kind), g_module.file + ": " + g_module.problem.text);
}

// The record layout of an HDR from eegmex_edf; false when it is not one.
bool layoutOf(const mxArray* hdr, eegfmt::RecordLayout& l) {
  double n = 0, format = 0, status = 0;
  if (!textOf(fieldOf(hdr, "dataFile"), l.path) || !numberOf(fieldOf(hdr, "nChans"), n) || n < 1 || n > 1e6 ||
      !numberOf(fieldOf(hdr, "BinaryFormat"), format) || !numberOf(fieldOf(hdr, "fs"), l.fs) || !(l.fs > 0))
    return false;
  double offset = 0;
  if (!numberOf(fieldOf(hdr, "dataOffset"), offset) || !(offset >= 0)) return false;
  l.dataOffset = static_cast<int64_t>(offset);
  l.bytesPerSample = format == 4 ? 3 : format == 1 ? 2 : 0;
  if (!l.bytesPerSample) return false;
  const size_t nChans = static_cast<size_t>(n);
  std::vector<double> samples, annotation, rates;
  if (!vectorOf(fieldOf(hdr, "recordSamples"), nChans, samples) ||
      !vectorOf(fieldOf(hdr, "annotation"), nChans, annotation))
    return false;
  for (size_t c = 0; c < nChans; ++c) {
    if (!(samples[c] >= 0 && samples[c] <= 2147483647.0)) return false;
    l.recordSamples.push_back(static_cast<int32_t>(samples[c]));
    l.annotation.push_back(annotation[c] != 0);
  }
  const mxArray* s = fieldOf(hdr, "statusChan");
  if (s && mxGetNumberOfElements(s) == 1) {
    if (!numberOf(s, status) || status < 0 || status > n) return false;
    l.statusChan = static_cast<int>(status) - 1;
  }
  if (l.statusChan >= 0) {
    if (l.bytesPerSample != 3) return false;
    if (!vectorOf(fieldOf(hdr, "channelFs"), nChans, rates) ||
        !(rates[static_cast<size_t>(l.statusChan)] > 0))
      return false;
    l.statusRate = rates[static_cast<size_t>(l.statusChan)];
  }
  return true;
}

// [events, state] for eegmex_events(HDR, state, upTo).
void events(int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
  g_module.caller = "eegmex_events";
  const mxArray* hdr = nrhs > 1 ? prhs[1] : nullptr;
  double upTo = INFINITY;
  if (nrhs > 3 && (!numberOf(prhs[3], upTo) || std::isnan(upTo)))
    return setError("usage",
                    "upTo must be a number of frames: [events, state] = eegmex_events(HDR, state, upTo)");
  if (!hdr || !mxIsStruct(hdr))
    return setError("usage", "HDR must be a struct from eegmex_vhdr or eegmex_edf");
  const bool markers = fieldOf(hdr, "markerFile") != nullptr;
  const char* source = markers ? "markers" : "records";
  if (!takeState(nrhs > 2 ? prhs[2] : nullptr, source, g_module.state))
    return setError("usage",
                    "state must be [] or the state the last call of eegmex_events returned for this HDR");
  if (markers) {
    if (!textOf(fieldOf(hdr, "markerFile"), g_module.file))
      return setError("usage", "HDR.markerFile must be the marker file name as text");
    if (!eegfmt::followMarkers(g_module.file, g_module.state, upTo, g_module.markers, g_module.why,
                               g_module.problem))
      return setProblem();
    plhs[0] = markersResult(g_module.markers);
  } else {
    if (!layoutOf(hdr, g_module.layout))
      return setError(
          "usage",
          "HDR must come from eegmex_vhdr (HDR.markerFile) or eegmex_edf (HDR.dataFile, HDR.dataOffset, "
          "HDR.recordSamples, HDR.annotation, HDR.statusChan, HDR.channelFs)");
    g_module.file = g_module.layout.path;
    if (!eegfmt::followRecords(g_module.layout, g_module.state, upTo, g_module.events, g_module.why,
                               g_module.problem))
      return setProblem();
    plhs[0] = eventsResult(g_module.events);
  }
  plhs[5] = stateResult(source);
}

void run(const std::string& command, int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
  if (command == "events") return events(nrhs, prhs, plhs);
  g_module.caller = "eegmex_" + command;
  if (nrhs < 2 || nrhs > 3 || !textOf(prhs[1], g_module.file) || g_module.file.empty())
    return setError("usage", "give the file name as text");
  g_module.file = eegfmt::absolutePath(g_module.file);
  if (command == "vhdr") {
    if (!eegfmt::readVhdr(g_module.file, g_module.vhdr, g_module.problem)) return setProblem();
    plhs[0] = vhdrResult();
  } else if (command == "vmrk") {
    if (!eegfmt::readVmrk(g_module.file, g_module.markers, g_module.problem)) return setProblem();
    plhs[0] = markersResult(g_module.markers);
  } else {
    // A third argument false: the header only, without reading the records for events.
    const bool withEvents = nrhs < 3 || flagOf(prhs[2]);
    if (!eegfmt::readEdf(g_module.file, g_module.edf, withEvents ? &g_module.events : nullptr,
                         g_module.problem))
      return setProblem();
    if (!g_module.edf.truncatedWarning.empty()) {
      g_module.warningId = "eegmex_edf:truncated";
      g_module.warningText = "eegmex_edf: " + g_module.file + ": " + g_module.edf.truncatedWarning;
    }
    plhs[0] = edfResult();
  }
}

}  // namespace

MEX_ENTRY void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (!g_module.started) {
    mexAtExit(endModule);
    g_module.started = true;
  }
  g_module.clear();
  mxArray* out[6] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  std::string& command = g_module.command;
  if (nrhs < 1 || !textOf(prhs[0], command) ||
      (command != "vhdr" && command != "vmrk" && command != "edf" && command != "events")) {
    g_module.caller = "eegmex_formats";
    setError("usage", "the first argument must be 'vhdr', 'vmrk', 'edf' or 'events'");
  } else {
    run(command, nrhs, prhs, out);
  }
  if (!out[0]) out[0] = mxCreateDoubleMatrix(0, 0, mxREAL);
  out[1] = mxCreateString(g_module.errorId.c_str());
  out[2] = mxCreateString(g_module.errorText.c_str());
  out[3] = mxCreateString(g_module.warningId.c_str());
  out[4] = mxCreateString(g_module.warningText.c_str());
  if (!out[5]) out[5] = mxCreateDoubleMatrix(0, 0, mxREAL);
  for (int i = 0; i < nlhs && i < 6; ++i) plhs[i] = out[i];
  if (nlhs == 0) plhs[0] = out[0];
}
