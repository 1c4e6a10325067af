// The module behind eegmex_vhdr, eegmex_vmrk, eegmex_edf and eegmex_events: a thin layer that hands
// the readers' results to the caller: headers and streams as structs of columns, which those
// functions shape into their structs, and the records (markers, events) as the struct arrays those
// functions return, made by the host in one step where it can (eegmexCreateRecords; the Python host
// gives their columns, which its package makes its dicts from).
//
//   [out, id, msg, wid, wmsg] = eegmex_formats(command, ...)
//     'vhdr', file | 'vmrk', file | 'edf', file[, withEvents] | 'events', HDR, state, upTo
//     | 'xdf', file (the streams, a column each) | 'xdf', file, streamId (one stream's samples and times)
//     | 'xdftimes', file, streamId (its samples' times) | 'xdfevents', file, targetId (the events, positions
//     in the target stream's samples; -1: none)
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
#include "xdf.h"

namespace {

struct Module {
  bool started = false;
  std::string command, file, caller;
  std::vector<const char*> texts;  // scratch of textsOf and Records
  std::vector<double> numbers;     // scratch of Records
  eegfmt::Problem problem;
  std::string errorId, errorText, warningId, warningText;
  eegfmt::VhdrHeader vhdr;
  std::vector<eegfmt::Marker> markers;
  eegfmt::EdfHeader edf;
  std::vector<eegfmt::EdfEvent> events;
  eegfmt::FollowState state;
  std::vector<std::pair<const char*, double>> stateNumbers;  // the state's numbers by name
  eegfmt::RecordLayout layout;
  eegfmt::StartOver why = eegfmt::StartOver::no;
  eegfmt::XdfFile xdf;
  std::vector<double> xdfValues, xdfTimes, xdfRaw;
  std::vector<std::string> xdfTexts;
  std::vector<eegfmt::XdfEvent> xdfEvents;

  void clear() {
    command.clear(), file.clear(), caller.clear();
    texts.clear(), texts.shrink_to_fit();
    numbers.clear(), numbers.shrink_to_fit();
    problem = eegfmt::Problem();
    errorId.clear(), errorText.clear(), warningId.clear(), warningText.clear();
    vhdr = eegfmt::VhdrHeader();
    markers.clear(), markers.shrink_to_fit();
    edf = eegfmt::EdfHeader();
    events.clear(), events.shrink_to_fit();
    state = eegfmt::FollowState();
    stateNumbers.clear();
    layout = eegfmt::RecordLayout();
    xdf = eegfmt::XdfFile();
    xdfValues.clear(), xdfValues.shrink_to_fit();
    xdfTimes.clear(), xdfTimes.shrink_to_fit();
    xdfRaw.clear(), xdfRaw.shrink_to_fit();
    xdfTexts.clear(), xdfTexts.shrink_to_fit();
    xdfEvents.clear(), xdfEvents.shrink_to_fit();
  }
};

Module g_module;

// The listing of the XDF file eegmex_events followed last, kept from call to call (the call's own state
// clears g_module), so that each call lists only the chunks added since.
struct XdfFollowCache {
  std::string file;
  eegfmt::XdfFile listing;
  std::vector<double> taken;
};
XdfFollowCache g_xdfFollow;

void endModule() {
  g_module.clear();
  g_xdfFollow = XdfFollowCache();
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

// The records of a struct array, gathered column by column in the module's state (the host may
// raise while it makes the array), then made by the host.
class Records {
 public:
  explicit Records(size_t n) : n_(n) {
    g_module.numbers.clear();
    g_module.texts.clear();
  }

  template <typename T, typename F>
  void numbers(const char* name, const std::vector<T>& items, F value) {
    std::vector<double>& d = g_module.numbers;
    add(name, d.size(), true);
    for (const T& x : items) d.push_back(value(x));
  }

  template <typename T, typename F>
  void texts(const char* name, const std::vector<T>& items, F text) {
    std::vector<const char*>& t = g_module.texts;
    add(name, t.size(), false);
    for (const T& x : items) t.push_back(text(x));
  }

  mxArray* make() {
    for (int f = 0; f < count_; ++f) {
      columns_[f].numbers = numeric_[f] ? g_module.numbers.data() + start_[f] : nullptr;
      columns_[f].texts = numeric_[f] ? nullptr : g_module.texts.data() + start_[f];
    }
    return eegmexCreateRecords(n_, count_, columns_);
  }

 private:
  void add(const char* name, size_t start, bool numeric) {
    columns_[count_] = eegmexColumn{name, nullptr, nullptr};
    start_[count_] = start;
    numeric_[count_++] = numeric;
  }

  size_t n_;
  int count_ = 0;
  eegmexColumn columns_[EEGMEX_RECORD_FIELDS];
  size_t start_[EEGMEX_RECORD_FIELDS];
  bool numeric_[EEGMEX_RECORD_FIELDS];
};

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

// The markers as eegmex_vmrk returns them.
mxArray* markerRecords(const std::vector<eegfmt::Marker>& m) {
  using eegfmt::Marker;
  Records r(m.size());
  r.texts("type", m, [](const Marker& x) { return x.type.c_str(); });
  r.texts("description", m, [](const Marker& x) { return x.description.c_str(); });
  r.numbers("position", m, [](const Marker& x) { return x.position; });
  r.numbers("points", m, [](const Marker& x) { return x.points; });
  r.numbers("channel", m, [](const Marker& x) { return x.channel; });
  r.texts("date", m, [](const Marker& x) { return x.date.c_str(); });
  return r.make();
}

// The events as eegmex_edf returns them.
mxArray* eventRecords(const std::vector<eegfmt::EdfEvent>& e) {
  using eegfmt::EdfEvent;
  Records r(e.size());
  r.texts("type", e,
          [](const EdfEvent& x) { return x.kind == EdfEvent::Kind::status ? "status" : "annotation"; });
  r.numbers("onset", e, [](const EdfEvent& x) { return x.onset; });
  r.numbers("duration", e, [](const EdfEvent& x) { return x.duration; });
  r.texts("text", e, [](const EdfEvent& x) { return x.text.c_str(); });
  r.numbers("value", e, [](const EdfEvent& x) { return x.value; });
  r.numbers("position", e, [](const EdfEvent& x) { return x.position; });
  r.numbers("status", e, [](const EdfEvent& x) { return x.statusWord; });
  return r.make();
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
       {"events", eventRecords(g_module.events)}});
}

// ---- XDF

mxArray* cellOf(size_t n) { return mxCreateCellMatrix(1, static_cast<int>(n)); }

// The streams as columns: a 1 x n row or cell per field, one element per stream.
mxArray* xdfStreamsResult() {
  using eegfmt::XdfStream;
  const std::vector<XdfStream>& s = g_module.xdf.streams;
  const auto text = [](const std::string& (*get)(const XdfStream&)) {
    return textsOf(g_module.xdf.streams, get);
  };
  mxArray* labels = cellOf(s.size());
  mxArray* units = cellOf(s.size());
  mxArray* types = cellOf(s.size());
  mxArray* offsets = cellOf(s.size());
  const auto self = [](const std::string& x) -> const std::string& { return x; };
  for (size_t i = 0; i < s.size(); ++i) {
    mxSetCell(labels, static_cast<int>(i), textsOf(s[i].labels, self));
    mxSetCell(units, static_cast<int>(i), textsOf(s[i].units, self));
    mxSetCell(types, static_cast<int>(i), textsOf(s[i].channelTypes, self));
    const size_t m = s[i].offsetTimes.size();
    mxArray* o = mxCreateDoubleMatrix(static_cast<int>(m), 2, mxREAL);
    for (size_t k = 0; k < m; ++k) {
      mxGetPr(o)[k] = s[i].offsetTimes[k];
      mxGetPr(o)[m + k] = s[i].offsetValues[k];
    }
    mxSetCell(offsets, static_cast<int>(i), o);
  }
  return structOf(
      {{"id", rowOf(s, [](const XdfStream& x) { return double(x.id); })},
       {"name", text([](const XdfStream& x) -> const std::string& { return x.name; })},
       {"type", text([](const XdfStream& x) -> const std::string& { return x.type; })},
       {"channelCount", rowOf(s, [](const XdfStream& x) { return double(x.channelCount); })},
       {"nominalRate", rowOf(s, [](const XdfStream& x) { return x.nominalRate; })},
       {"channelFormat", text([](const XdfStream& x) -> const std::string& { return x.formatText; })},
       {"label", labels},
       {"unit", units},
       {"channelType", types},
       {"sampleCount", rowOf(s, [](const XdfStream& x) { return double(x.sampleCount); })},
       {"firstTime", rowOf(s, [](const XdfStream& x) { return x.firstTime; })},
       {"lastTime", rowOf(s, [](const XdfStream& x) { return x.lastTime; })},
       {"clockOffsets", offsets},
       {"chunks", rowOf(s, [](const XdfStream& x) { return double(x.chunks.size()); })},
       {"footer", rowOf(s, [](const XdfStream& x) { return x.footer ? 1.0 : 0.0; })},
       {"sourceId", text([](const XdfStream& x) -> const std::string& { return x.sourceId; })},
       {"hostname", text([](const XdfStream& x) -> const std::string& { return x.hostname; })},
       {"uid", text([](const XdfStream& x) -> const std::string& { return x.uid; })},
       {"headerXml", text([](const XdfStream& x) -> const std::string& { return x.headerXml; })},
       {"footerXml", text([](const XdfStream& x) -> const std::string& { return x.footerXml; })},
       {"file", mxCreateString(g_module.file.c_str())},
       {"fileHeaderXml", mxCreateString(g_module.xdf.headerXml.c_str())}});
}

// One stream's samples: values (samples x channels; texts for a string stream, one per sample and
// channel, sample by sample), times with the clock offsets applied, and the times as written.
bool readXdfSamples(const eegfmt::XdfStream& s) {
  eegfmt::InputFile file;
  if (!file.open(g_module.file))
    return eegfmt::fail(g_module.problem, eegfmt::ProblemKind::file, "cannot open the file");
  const size_t n = static_cast<size_t>(s.sampleCount), ch = static_cast<size_t>(s.channelCount);
  const bool text = s.format == eegfmt::XdfFormat::string;
  g_module.xdfRaw.resize(n);
  if (!text) g_module.xdfValues.resize(n * ch);
  const int bytes = eegfmt::xdfValueBytes(s.format);
  std::vector<std::string> texts;
  bool textsOk = true;
  if (!eegfmt::walkSamples(
          file, s, 0, s.sampleCount, 0,
          [&](int64_t i, double t, const unsigned char* v, size_t nb) {
            g_module.xdfRaw[size_t(i)] = t;
            if (text) {
              if (!eegfmt::xdfTexts(v, nb, texts) || texts.size() != ch) textsOk = false;
              for (size_t k = 0; k < ch; ++k)
                g_module.xdfTexts.push_back(k < texts.size() ? texts[k] : std::string());
            } else {
              for (size_t k = 0; k < ch; ++k)
                g_module.xdfValues[k * n + size_t(i)] = eegfmt::xdfValue(s.format, v + k * size_t(bytes));
            }
          },
          g_module.problem))
    return false;
  if (!textsOk)
    return eegfmt::fail(g_module.problem, eegfmt::ProblemKind::damaged,
                        "stream %u: a text value does not fit its sample", s.id);
  g_module.xdfTimes = g_module.xdfRaw;
  eegfmt::correctedTimes(s, g_module.xdfTimes.data(), n);
  return true;
}

mxArray* xdfSamplesResult(const eegfmt::XdfStream& s) {
  const size_t n = static_cast<size_t>(s.sampleCount), ch = static_cast<size_t>(s.channelCount);
  mxArray* values;
  if (s.format == eegfmt::XdfFormat::string) {
    const auto self = [](const std::string& x) -> const std::string& { return x; };
    values = textsOf(g_module.xdfTexts, self);
  } else {
    values = mxCreateDoubleMatrix(static_cast<int>(n), static_cast<int>(ch), mxREAL);
    if (n > 0 && ch > 0) std::memcpy(mxGetPr(values), g_module.xdfValues.data(), n * ch * sizeof(double));
  }
  const auto same = [](double v) { return v; };
  return structOf({{"values", values},
                   {"times", rowOf(g_module.xdfTimes, same)},
                   {"writtenTimes", rowOf(g_module.xdfRaw, same)}});
}

// The XDF events of the module's list as columns: stream, time, text, value, position.
// The XDF events as eegmex_xdf_events (with position when it has a target stream) and
// eegmex_events (always with position) return them.
mxArray* xdfEventRecords(bool withPosition) {
  using eegfmt::XdfEvent;
  const auto& e = g_module.xdfEvents;
  Records r(e.size());
  r.numbers("time", e, [](const XdfEvent& x) { return x.time; });
  r.texts("text", e, [](const XdfEvent& x) { return x.text.c_str(); });
  r.numbers("value", e, [](const XdfEvent& x) { return x.value; });
  r.numbers("stream", e, [](const XdfEvent& x) { return double(x.stream); });
  if (withPosition) r.numbers("position", e, [](const XdfEvent& x) { return x.position; });
  return r.make();
}

// ---- errors

void setError(const char* kind, const std::string& text) {
  g_module.errorId = g_module.caller + ":" + kind;
  g_module.errorText = g_module.caller + ": " + text;
}

void setProblem() {
  setError(eegfmt::problemKindName(g_module.problem.kind), g_module.file + ": " + g_module.problem.text);
}

// ---- the follower's state as a struct, and back

mxArray* stateResult(const char* source) {
  // In the module's state: the host may raise while the struct is made.
  auto& numbers = g_module.stateNumbers;
  numbers = eegfmt::stateNumbers(g_module.state, std::strcmp(source, "markers") == 0);
  const char* names[32] = {"source", "file", "startedOver"};
  int n = 3;
  for (const auto& f : numbers) names[n++] = f.first;
  mxArray* s = mxCreateStructMatrix(1, 1, n, names);
  mxSetField(s, 0, "source", mxCreateString(source));
  mxSetField(s, 0, "file", mxCreateString(g_module.state.file.c_str()));
  mxSetField(s, 0, "startedOver", mxCreateString(eegfmt::startOverText(g_module.why)));
  for (const auto& f : numbers) mxSetField(s, 0, f.first, mxCreateDoubleScalar(f.second));
  return s;
}

// The state a caller gave back: [] for the first call, or a struct whose numbers are checked one
// by one. False with the usage error set.
bool takeState(const mxArray* a, const char* source, eegfmt::FollowState& st) {
  st = eegfmt::FollowState();
  if (!a || (mxGetNumberOfElements(a) == 0 && !mxIsStruct(a))) return true;  // []: the first call
  std::string text;
  if (!textOf(fieldOf(a, "source"), text) || text != source || !textOf(fieldOf(a, "file"), st.file)) {
    setError("usage", "state must be [] or the state the last call of eegmex_events returned for this HDR");
    return false;
  }
  std::string bad;
  const auto get = [a](const char* name, double& v) { return numberOf(fieldOf(a, name), v); };
  if (!eegfmt::stateFromNumbers(std::strcmp(source, "markers") == 0, get, st, bad)) {
    setError("usage", "state." + bad +
                          " is not what the last call of eegmex_events returned; give that state, or [] to "
                          "start over");
    return false;
  }
  return true;
}

// ---- the commands

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

// eegmex_events on an HDR of an XDF stream: the events (string and irregular streams) the file added
// since the state's call, with positions in the HDR's stream. State: source 'xdf', file, point (bytes
// listed), taken (events returned, per stream in the listing's order).
void xdfFollow(const mxArray* hdr, const mxArray* state, double upTo, mxArray* plhs[]) {
  double id = 0;
  if (!textOf(fieldOf(hdr, "dataFile"), g_module.file) || !numberOf(fieldOf(hdr, "xdfStream"), id))
    return setError("usage", "HDR must come from eegmex_xdf (HDR.dataFile, HDR.xdfStream)");
  XdfFollowCache& cache = g_xdfFollow;
  double point = 0;
  std::vector<double>& taken = cache.taken;
  std::string text;
  const bool first = !state || (mxGetNumberOfElements(state) == 0 && !mxIsStruct(state));
  if (!first) {
    const mxArray* t = fieldOf(state, "taken");
    if (!textOf(fieldOf(state, "source"), text) || text != "xdf" || !textOf(fieldOf(state, "file"), text) ||
        text != g_module.file || !numberOf(fieldOf(state, "point"), point) || !t ||
        !vectorOf(t, mxGetNumberOfElements(t), taken))
      return setError("usage",
                      "state must be [] or the state the last call of eegmex_events returned for this HDR");
  } else {
    taken.clear();
  }
  eegfmt::InputFile file;
  if (!file.open(g_module.file))
    return eegfmt::fail(g_module.problem, eegfmt::ProblemKind::file, "cannot open the file"), setProblem();
  const int64_t length = file.length();
  if (length < int64_t(point)) {  // shorter than followed: another file, from its start
    g_module.why = eegfmt::StartOver::shorter;
    taken.clear();
  } else {
    g_module.why = first ? eegfmt::StartOver::firstCall : eegfmt::StartOver::no;
  }
  if (cache.file != g_module.file || length < cache.listing.wholeBytes) {
    cache.listing = eegfmt::XdfFile();
    cache.file = g_module.file;
  }
  if (!eegfmt::continueXdf(file, cache.listing, false, g_module.problem)) {
    cache = XdfFollowCache();
    return setProblem();
  }
  const eegfmt::XdfStream* target = cache.listing.find(static_cast<uint32_t>(id));
  if (!target)
    return setError("usage", eegfmt::format("%s: no stream has id %.0f", g_module.file.c_str(), id));
  if (!eegfmt::followXdfEvents(file, cache.listing, target, upTo, taken, g_module.xdfEvents,
                               g_module.problem))
    return setProblem();
  plhs[0] = xdfEventRecords(true);
  plhs[5] = structOf({{"source", mxCreateString("xdf")},
                      {"file", mxCreateString(g_module.file.c_str())},
                      {"startedOver", mxCreateString(eegfmt::startOverText(g_module.why))},
                      {"point", mxCreateDoubleScalar(double(cache.listing.wholeBytes))},
                      {"taken", rowOf(taken, [](double v) { return v; })}});
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
  if (fieldOf(hdr, "xdfStream")) return xdfFollow(hdr, nrhs > 2 ? prhs[2] : nullptr, upTo, plhs);
  const bool markers = fieldOf(hdr, "markerFile") != nullptr;
  const char* source = markers ? "markers" : "records";
  if (!takeState(nrhs > 2 ? prhs[2] : nullptr, source, g_module.state)) return;
  if (markers) {
    if (!textOf(fieldOf(hdr, "markerFile"), g_module.file))
      return setError("usage", "HDR.markerFile must be the marker file name as text");
    if (!eegfmt::followMarkers(g_module.file, g_module.state, upTo, g_module.markers, g_module.why,
                               g_module.problem))
      return setProblem();
    plhs[0] = markerRecords(g_module.markers);
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
    plhs[0] = eventRecords(g_module.events);
  }
  plhs[5] = stateResult(source);
}

void xdf(int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
  if (!eegfmt::scanXdf(g_module.file, g_module.xdf, g_module.problem)) return setProblem();
  if (!g_module.xdf.truncatedWarning.empty()) {
    g_module.warningId = "eegmex_xdf:truncated";
    g_module.warningText = "eegmex_xdf: " + g_module.file + ": " + g_module.xdf.truncatedWarning;
  }
  if (nrhs < 3 && g_module.command == "xdf") {
    plhs[0] = xdfStreamsResult();
    return;
  }
  if (g_module.command == "xdfevents") {  // 'xdfevents', file, targetId (-1: none)
    double target = -1;
    numberOf(nrhs > 2 ? prhs[2] : nullptr, target);
    const eegfmt::XdfStream* t =
        target >= 0 && target <= 4294967295.0 ? g_module.xdf.find(uint32_t(target)) : nullptr;
    if (target >= 0 && !t)
      return setError("usage", eegfmt::format("%s: no stream has id %.0f", g_module.file.c_str(), target));
    eegfmt::InputFile file;
    if (!file.open(g_module.file) ||
        !eegfmt::xdfEvents(file, g_module.xdf, t, g_module.xdfEvents, g_module.problem)) {
      if (!g_module.problem)
        eegfmt::fail(g_module.problem, eegfmt::ProblemKind::file, "cannot open the file");
      return setProblem();
    }
    plhs[0] = xdfEventRecords(t != nullptr);
    return;
  }
  double id = 0;
  if (!numberOf(prhs[2], id) || !(id >= 0 && id <= 4294967295.0) || id != std::floor(id))
    return setError("usage",
                    "the stream id must be a whole number: [values, times] = eegmex_xdf(file, streamId)");
  const eegfmt::XdfStream* s = g_module.xdf.find(static_cast<uint32_t>(id));
  if (!s) return setError("usage", eegfmt::format("%s: no stream has id %.0f", g_module.file.c_str(), id));
  if (g_module.command == "xdftimes") {  // the times alone
    eegfmt::InputFile file;
    if (!file.open(g_module.file))
      return eegfmt::fail(g_module.problem, eegfmt::ProblemKind::file, "cannot open the file"), setProblem();
    if (!eegfmt::xdfTimes(file, *s, g_module.xdfTimes, g_module.problem)) return setProblem();
    plhs[0] = rowOf(g_module.xdfTimes, [](double v) { return v; });
    return;
  }
  if (!readXdfSamples(*s)) return setProblem();
  plhs[0] = xdfSamplesResult(*s);
}

void run(const std::string& command, int nrhs, const mxArray* prhs[], mxArray* plhs[]) {
  if (command == "events") return events(nrhs, prhs, plhs);
  g_module.caller = command == "xdfevents"  ? "eegmex_xdf_events"
                    : command == "xdftimes" ? "eegmex_xdf_times"
                                            : "eegmex_" + command;
  if (nrhs < 2 || nrhs > 3 || !textOf(prhs[1], g_module.file) || g_module.file.empty())
    return setError("usage", "give the file name as text");
  g_module.file = eegfmt::absolutePath(g_module.file);
  if (command == "xdf" || command == "xdfevents" || command == "xdftimes") {
    xdf(nrhs, prhs, plhs);
  } else if (command == "vhdr") {
    if (!eegfmt::readVhdr(g_module.file, g_module.vhdr, g_module.problem)) return setProblem();
    plhs[0] = vhdrResult();
  } else if (command == "vmrk") {
    if (!eegfmt::readVmrk(g_module.file, g_module.markers, g_module.problem)) return setProblem();
    plhs[0] = markerRecords(g_module.markers);
  } else {
    // A third argument false: the header only, without reading the records for events.
    const bool withEvents = nrhs < 3 || flagOf(prhs[2]);
    if (!eegfmt::readEdf(g_module.file, g_module.edf, withEvents ? &g_module.events : nullptr,
                         g_module.problem))
      return setProblem();
    // One warning a call: a file cut short says more than a channel without a scale.
    if (!g_module.edf.truncatedWarning.empty()) {
      g_module.warningId = "eegmex_edf:truncated";
      g_module.warningText = "eegmex_edf: " + g_module.file + ": " + g_module.edf.truncatedWarning;
    } else if (!g_module.edf.unknownScaleWarning.empty()) {
      g_module.warningId = "eegmex_edf:unknownScale";
      g_module.warningText = "eegmex_edf: " + g_module.file + ": " + g_module.edf.unknownScaleWarning;
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
      (command != "vhdr" && command != "vmrk" && command != "edf" && command != "events" &&
       command != "xdf" && command != "xdfevents" && command != "xdftimes")) {
    g_module.caller = "eegmex_formats";
    setError("usage",
             "the first argument must be 'vhdr', 'vmrk', 'edf', 'xdf', 'xdftimes', 'xdfevents' or 'events'");
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
