// eegmex._eegmex: the Python extension over the modules' own gateways. Python values become host
// arrays while the interpreter lock is held; the gateway runs without it, at the same time as calls
// on other threads (only calls that share state take turns, on that state's own lock: see
// object_lock.h); its results come back as Python values (a double matrix as a numpy array over
// the storage the module wrote, without a copy). Errors and warnings come back as text: the Python
// layer (python/eegmex) raises them; a Ctrl-C during a read comes back as KeyboardInterrupt.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "object_lock.h"
#include "pyhost.h"
#include "reader.h"
#include "stream_state.h"

namespace py = pybind11;

extern "C" {
void eegmex_eegfetch_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void eegmex_formats_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void eegmex_trigout_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
void eegmex_decimate_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
}
void bindDecimator(py::module_& m);  // decimator.cpp

namespace {

// Whether numpy keeps this dtype's elements in the machine's own byte order.
bool nativeOrder(const py::dtype& dt) { return py::bool_(dt.attr("isnative")); }

// An array the call writes in place: float64 in the machine's byte order, writable, two dimensions,
// steps of whole elements, every element with storage of its own. Anything else is refused here,
// never copied. The dtype is compared by value: an array that came through pickle has a dtype
// object of its own.
struct Target {
  py::array array;
  explicit Target(py::object value) {
    if (!py::isinstance<py::array>(value))
      throw py::type_error("data must be a numpy array of float64 (written in place), not " +
                           std::string(py::str(value.get_type().attr("__name__"))));
    array = py::reinterpret_borrow<py::array>(value);
    const py::dtype dt = array.dtype();
    if (dt.kind() != 'f' || dt.itemsize() != 8 || !nativeOrder(dt))
      throw py::type_error(
          "data must be a float64 array in the machine's byte order, since it is written in "
          "place; it is " +
          std::string(py::str(dt.attr("str"))) + " (never converted: give np.zeros((rows, channels)))");
    if (!array.writeable()) throw py::value_error("data is read-only; it is written in place");
    if (array.ndim() != 2)
      throw py::value_error("data must have two dimensions (rows, channels); it has " +
                            std::to_string(array.ndim()));
    for (int d = 0; d < 2; ++d)
      if (array.strides(d) % static_cast<py::ssize_t>(sizeof(double)) != 0)
        throw py::value_error(
            "data is a view whose steps are not whole float64 elements; it cannot be written in place");
    if (array.shape(0) > 2147483647 || array.shape(1) > 2147483647)
      throw py::value_error("data has more than 2147483647 rows or columns");
    const auto step = static_cast<py::ssize_t>(sizeof(double));
    if (!eeg::targetStepsAreSound(array.shape(0), array.shape(1), array.strides(0) / step,
                                  array.strides(1) / step))
      throw py::value_error(
          "data is a view whose elements share storage (a step of 0, or rows and columns that overlap); "
          "it cannot be written in place: give np.zeros((rows, channels))");
  }
};

mxClassID classOfDtype(const py::dtype& dt, bool& isComplex) {
  isComplex = false;
  const char kind = dt.kind();
  const auto size = dt.itemsize();
  if (kind == 'b') return mxLOGICAL_CLASS;
  if (kind == 'f') return size == 8 ? mxDOUBLE_CLASS : size == 4 ? mxSINGLE_CLASS : mxUNKNOWN_CLASS;
  if (kind == 'c') {
    isComplex = true;
    return size == 16 ? mxDOUBLE_CLASS : size == 8 ? mxSINGLE_CLASS : mxUNKNOWN_CLASS;
  }
  if (kind == 'i' || kind == 'u') {
    const bool u = kind == 'u';
    switch (size) {
      case 1: return u ? mxUINT8_CLASS : mxINT8_CLASS;
      case 2: return u ? mxUINT16_CLASS : mxINT16_CLASS;
      case 4: return u ? mxUINT32_CLASS : mxINT32_CLASS;
      case 8: return u ? mxUINT64_CLASS : mxINT64_CLASS;
      default: break;
    }
  }
  return mxUNKNOWN_CLASS;
}

pyhost::Array checked(pyhost::Array a) {
  if (!a) throw std::bad_alloc();
  return a;
}

pyhost::Array toHost(py::handle value);

pyhost::Array fromNumpy(py::array array) {
  // Numbers in the other byte order are converted to this machine's, as numbers, not as bytes.
  if (!nativeOrder(array.dtype()))
    array = py::reinterpret_borrow<py::array>(array.attr("astype")(array.dtype().attr("newbyteorder")("=")));
  if (array.ndim() > 2)
    throw py::value_error("arrays of more than two dimensions are not taken (this one has " +
                          std::to_string(array.ndim()) + ")");
  bool isComplex = false;
  const mxClassID cls = classOfDtype(array.dtype(), isComplex);
  if (cls == mxUNKNOWN_CLASS)
    throw py::type_error("arrays of dtype " + std::string(py::str(array.dtype())) + " are not taken");
  const size_t m = array.ndim() == 2 ? static_cast<size_t>(array.shape(0)) : array.ndim() == 1 ? 1 : 1;
  const size_t n = array.ndim() == 2   ? static_cast<size_t>(array.shape(1))
                   : array.ndim() == 1 ? static_cast<size_t>(array.shape(0))
                                       : 1;
  pyhost::Array a = checked(pyhost::numeric(cls, m, n, isComplex));
  // Column-major, as the host keeps it; real and imaginary parts apart.
  py::module_ np = py::module_::import("numpy");
  py::array fortran = np.attr("asfortranarray")(array.ndim() == 2 ? array : array.attr("reshape")(m, n));
  const size_t count = m * n, elem = pyhost::elementSize(cls);
  if (count == 0) return a;
  if (!isComplex) {
    std::memcpy(pyhost::realData(a.get()), fortran.data(), count * elem);
  } else {
    const char* from = static_cast<const char*>(fortran.data());
    char* re = static_cast<char*>(pyhost::realData(a.get()));
    char* im = static_cast<char*>(pyhost::imagData(a.get()));
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(re + i * elem, from + 2 * i * elem, elem);
      std::memcpy(im + i * elem, from + (2 * i + 1) * elem, elem);
    }
  }
  return a;
}

pyhost::Array scalarDouble(double v) {
  pyhost::Array a = checked(pyhost::numeric(mxDOUBLE_CLASS, 1, 1));
  *static_cast<double*>(pyhost::realData(a.get())) = v;
  return a;
}

pyhost::Array fromDict(py::dict d) {
  pyhost::Array s = checked(pyhost::structArray(1, 1));
  for (auto item : d) {
    if (item.second.is_none()) continue;  // as if the field were not there
    const std::string name = py::str(item.first);
    pyhost::setField(s.get(), name.c_str(), toHost(item.second));
  }
  return s;
}

pyhost::Array toHost(py::handle value) {
  if (py::isinstance<Target>(value)) {
    Target& t = value.cast<Target&>();
    const auto step = static_cast<py::ssize_t>(sizeof(double));
    return checked(pyhost::borrowedDoubles(
        static_cast<double*>(t.array.mutable_data()), static_cast<size_t>(t.array.shape(0)),
        static_cast<size_t>(t.array.shape(1)), t.array.strides(0) / step, t.array.strides(1) / step));
  }
  if (py::isinstance<py::bool_>(value)) {
    pyhost::Array a = checked(pyhost::numeric(mxLOGICAL_CLASS, 1, 1));
    *static_cast<unsigned char*>(pyhost::realData(a.get())) = value.cast<bool>() ? 1 : 0;
    return a;
  }
  if (py::isinstance<py::int_>(value)) {
    // Exact as a double where it can be; otherwise a 64-bit integer, which the modules check.
    try {
      const long long v = value.cast<long long>();
      if (static_cast<long long>(static_cast<double>(v)) == v && std::llabs(v) <= (1LL << 53))
        return scalarDouble(static_cast<double>(v));
      pyhost::Array a = checked(pyhost::numeric(mxINT64_CLASS, 1, 1));
      *static_cast<int64_t*>(pyhost::realData(a.get())) = v;
      return a;
    } catch (const py::cast_error&) {
      return scalarDouble(value.cast<double>());
    }
  }
  if (py::isinstance<py::float_>(value)) return scalarDouble(value.cast<double>());
  if (py::isinstance<py::str>(value)) {
    // UTF-8, with the bytes a surrogate-escaped str stands for (a path that is not UTF-8) as they were.
    py::object bytes =
        py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape"));
    if (!bytes) throw py::error_already_set();
    return checked(pyhost::text(bytes.cast<std::string>()));
  }
  if (py::isinstance<py::bytes>(value)) return checked(pyhost::text(value.cast<std::string>()));
  if (py::isinstance<py::dict>(value)) return fromDict(value.cast<py::dict>());
  if ((py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) && py::len(value) > 0 &&
      py::isinstance<py::dict>(value.cast<py::sequence>()[0])) {
    py::sequence seq = value.cast<py::sequence>();
    const size_t n = py::len(seq);
    pyhost::Array s = checked(pyhost::structArray(1, n));
    for (size_t i = 0; i < n; ++i)
      for (auto item : seq[i].cast<py::dict>()) {
        if (item.second.is_none()) continue;
        const std::string name = py::str(item.first);
        pyhost::setField(s.get(), name.c_str(), toHost(item.second), i);
      }
    return s;
  }
  if ((py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) && py::len(value) > 0 &&
      py::isinstance<py::str>(value.cast<py::sequence>()[0])) {
    // Texts, as Octave's cells of char rows (HDR.label).
    py::sequence seq = value.cast<py::sequence>();
    const size_t n = py::len(seq);
    pyhost::Array c = checked(pyhost::cellArray(1, n));
    for (size_t i = 0; i < n; ++i) pyhost::setCell(c.get(), i, toHost(seq[i]));
    return c;
  }
  py::module_ np = py::module_::import("numpy");
  if (py::isinstance<py::array>(value)) return fromNumpy(value.cast<py::array>());
  if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value) ||
      py::isinstance(value, np.attr("generic"))) {
    py::array a = np.attr("asarray")(value);
    if (!py::isinstance(value, np.attr("generic")) && py::len(value) == 0)
      a = np.attr("zeros")(py::make_tuple(0), "float64");  // [] is a 1 x 0 double row
    return fromNumpy(a);
  }
  throw py::type_error("values of type " + std::string(py::str(value.get_type().attr("__name__"))) +
                       " are not taken");
}

// ---- results

py::object toPython(mxArray* a);

py::object numericToPython(mxArray* a) {
  const size_t m = pyhost::rowsOf(a), n = pyhost::columnsOf(a);
  const mxClassID cls = pyhost::classOf(a);
  const auto elem = static_cast<py::ssize_t>(pyhost::elementSize(cls));
  std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(m), static_cast<py::ssize_t>(n)};
  std::vector<py::ssize_t> strides{elem, elem * static_cast<py::ssize_t>(m)};
  if (cls == mxDOUBLE_CLASS && !pyhost::isComplexArray(a)) {
    // The storage the module wrote becomes the array's: no copy.
    double* data = pyhost::takeDoubles(a);
    if (!data) return py::array_t<double>(shape, strides);
    py::capsule owner(data, [](void* p) { std::free(p); });
    return py::array_t<double>(shape, strides, data, owner);
  }
  py::module_ np = py::module_::import("numpy");
  const char* dtype = "float64";
  switch (cls) {
    case mxLOGICAL_CLASS: dtype = "bool"; break;
    case mxSINGLE_CLASS: dtype = "float32"; break;
    case mxINT8_CLASS: dtype = "int8"; break;
    case mxUINT8_CLASS: dtype = "uint8"; break;
    case mxINT16_CLASS: dtype = "int16"; break;
    case mxUINT16_CLASS: dtype = "uint16"; break;
    case mxINT32_CLASS: dtype = "int32"; break;
    case mxUINT32_CLASS: dtype = "uint32"; break;
    case mxINT64_CLASS: dtype = "int64"; break;
    case mxUINT64_CLASS: dtype = "uint64"; break;
    default: break;
  }
  py::array out = np.attr("empty")(py::make_tuple(m, n), dtype, "F");
  if (m * n > 0) std::memcpy(out.mutable_data(), pyhost::realData(a), m * n * static_cast<size_t>(elem));
  if (pyhost::isComplexArray(a)) {
    py::array im = np.attr("empty")(py::make_tuple(m, n), dtype, "F");
    if (m * n > 0) std::memcpy(im.mutable_data(), pyhost::imagData(a), m * n * static_cast<size_t>(elem));
    return out.attr("__add__")(im.attr("__mul__")(py::module_::import("builtins").attr("complex")(0, 1)));
  }
  return out;
}

py::object toPython(mxArray* a) {
  if (!a) return py::none();
  switch (pyhost::classOf(a)) {
    case mxCHAR_CLASS: {
      const std::string bytes = pyhost::textOf(a);
      return py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(bytes.data(), static_cast<py::ssize_t>(bytes.size()), "surrogateescape"));
    }
    case mxSTRUCT_CLASS: {
      const auto& names = pyhost::fieldNames(a);
      const size_t count = pyhost::rowsOf(a) * pyhost::columnsOf(a);
      py::list elements;
      for (size_t e = 0; e < count; ++e) {
        py::dict d;
        for (size_t f = 0; f < names.size(); ++f)
          d[py::str(names[f])] = toPython(const_cast<mxArray*>(pyhost::fieldAt(a, e, f)));
        elements.append(d);
      }
      if (pyhost::rowsOf(a) == 1 && pyhost::columnsOf(a) == 1) return elements[0];
      return std::move(elements);
    }
    case mxCELL_CLASS: {
      py::list items;
      const size_t count = pyhost::rowsOf(a) * pyhost::columnsOf(a);
      for (size_t i = 0; i < count; ++i) items.append(toPython(const_cast<mxArray*>(pyhost::cellAt(a, i))));
      return std::move(items);
    }
    default: return numericToPython(a);
  }
}

// Ctrl-C during a read. Python runs its signal handlers on the main thread only, so only a call on
// that thread asks: at most every 20 ms it takes the GIL for a moment and lets the handlers run. A
// handler's exception (KeyboardInterrupt) is kept for the call to raise once the read has stopped.
unsigned long g_mainThread = 0;
thread_local PyObject* t_signalError[3] = {nullptr, nullptr, nullptr};
thread_local std::chrono::steady_clock::time_point t_lastSignalCheck;

int signalRaised() {
  const auto now = std::chrono::steady_clock::now();
  if (now - t_lastSignalCheck < std::chrono::milliseconds(20)) return t_signalError[0] != nullptr;
  t_lastSignalCheck = now;
  if (t_signalError[0]) return 1;
  PyGILState_STATE gil = PyGILState_Ensure();
  if (PyErr_CheckSignals() != 0) PyErr_Fetch(&t_signalError[0], &t_signalError[1], &t_signalError[2]);
  PyGILState_Release(gil);
  return t_signalError[0] != nullptr;
}

// With the GIL: raises the kept exception, if any.
void raiseKeptSignalError() {
  if (!t_signalError[0]) return;
  PyErr_Restore(t_signalError[0], t_signalError[1], t_signalError[2]);
  t_signalError[0] = t_signalError[1] = t_signalError[2] = nullptr;
  throw py::error_already_set();
}

pyhost::ObjectLock g_formats;  // given back fresh in a child of fork()

// A Stream's cache of online reads, and its reset in a child of fork().
struct Streams {
  eeg::StreamCache cache;
  pyhost::ChildReset reset{[](void* c) { static_cast<eeg::StreamCache*>(c)->resetInChild(); }, &cache};
};

// Runs one module: returns (results, warnings, error), error None or the message.
py::tuple callModule(int which, int nlhs, py::list args, py::object ioLib, py::object streams,
                     bool firstUnused) {
  pyhost::Module module;
  pyhost::MexFunction entry;
  switch (which) {
    case 0: module = pyhost::Module::eegfetch, entry = eegmex_eegfetch_entry; break;
    case 1: module = pyhost::Module::formats, entry = eegmex_formats_entry; break;
    case 2: module = pyhost::Module::trigout, entry = eegmex_trigout_entry; break;
    case 3: module = pyhost::Module::decimate, entry = eegmex_decimate_entry; break;
    default: throw py::value_error("no such module");
  }
  std::vector<pyhost::Array> held;
  std::vector<const mxArray*> prhs;
  for (py::handle arg : args) {
    held.push_back(toHost(arg));
    prhs.push_back(held.back().get());
  }
  std::string ioLibText;
  pyhost::CallContext context;
  if (!ioLib.is_none()) {
    ioLibText = ioLib.cast<std::string>();  // str (UTF-8) or bytes (as they are)
    context.ioLib = &ioLibText;
  }
  if (!streams.is_none()) context.streams = &streams.cast<Streams&>().cache;
  context.firstOutputUnused = firstUnused;
  if (PyThread_get_thread_ident() == g_mainThread) context.interrupted = signalRaised;
  pyhost::CallResult result;
  if (module == pyhost::Module::formats) {
    // The readers keep their module's state in one place without a lock of their own: their calls
    // take turns on this one (never with reads or pulses). The error jump stays inside call().
    pyhost::WithoutGil hold(g_formats);
    result = pyhost::call(module, entry, nlhs, prhs, context);
    held.clear();
  } else {
    py::gil_scoped_release release;
    result = pyhost::call(module, entry, nlhs, prhs, context);
    held.clear();
  }
  raiseKeptSignalError();
  py::list outputs, warnings;
  for (auto& r : result.results) outputs.append(toPython(r.get()));
  result.results.clear();
  for (auto& w : result.warnings) warnings.append(py::make_tuple(w.first, w.second));
  py::object error = py::none();
  if (result.failed) error = py::str(result.message);
  return py::make_tuple(outputs, warnings, error);
}

void atExit() {
  py::gil_scoped_release release;
  pyhost::runExitHandlers();
}

}  // namespace

PYBIND11_MODULE(_eegmex, m) {
  m.doc() = "The eegmex modules' gateways over the Python host (use the eegmex package).";
  py::class_<Target>(m, "Target", "An array written in place by a call (data=).")
      .def(py::init<py::object>(), py::arg("array"));
  // Each method lets the GIL go before it waits for the cache's lock (a read may hold it).
  py::class_<Streams>(m, "StreamCache", "The streams of online reads one object holds.")
      .def(py::init<>())
      .def(
          "drop_all",
          [](Streams& s) {
            py::gil_scoped_release release;
            s.cache.dropAll();
          },
          "Drops every stream: the next read starts from byte 0 (after a read in progress ends).")
      .def("held", [](const Streams& s) {
        py::gil_scoped_release release;
        const eeg::Stream* out[eeg::kStreamSlots];
        return s.cache.held(out);
      });
  m.def("call", &callModule, py::arg("module"), py::arg("nlhs"), py::arg("args"),
        py::arg("io_lib") = py::none(), py::arg("streams") = py::none(), py::arg("first_unused") = false,
        "Runs a module's gateway: returns (results, warnings, error). Modules: 0 eegfetch, 1 formats, 2 "
        "trigout, 3 eegmex_decimate. first_unused: the first output is asked for only to reach the second "
        "(the module may leave "
        "it unset).");
  bindDecimator(m);
  m.def("at_exit", &atExit, "Runs the modules' exit handlers: pending pulses end as scheduled.");
  m.def("live_arrays", &pyhost::liveArrays, "Host arrays alive now (for leak checks).");
  m.def("_fail_bookkeeping_at", &pyhost::failBookkeepingAt, py::arg("n"),
        "Tests only: the n-th entry of the calls' bookkeeping from now fails as if memory ran out.");
  g_mainThread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  pyhost::handleForks();
}
