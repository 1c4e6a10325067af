// eegmex._eegmex: the Python extension over the modules' own gateways. Python values become host
// arrays while the interpreter lock is held; the gateway runs without it, one call at a time under
// the host's lock; its results come back as Python values (a double matrix as a numpy array over
// the storage the module wrote, without a copy). Errors and warnings come back as text: the Python
// layer (python/eegmex) raises them.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pyhost.h"
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

// An array the call writes in place: float64, writable, two dimensions, steps of whole elements.
// Anything else is refused here, never copied.
struct Target {
  py::array array;
  explicit Target(py::object value) {
    if (!py::isinstance<py::array>(value))
      throw py::type_error("data must be a numpy array of float64 (written in place), not " +
                           std::string(py::str(value.get_type().attr("__name__"))));
    array = py::reinterpret_borrow<py::array>(value);
    if (!array.dtype().is(py::dtype::of<double>()))
      throw py::type_error("data must be a float64 array, since it is written in place; it is " +
                           std::string(py::str(array.dtype())) +
                           " (never converted: give np.zeros((rows, channels)))");
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
  if (py::isinstance<py::str>(value)) return checked(pyhost::text(value.cast<std::string>()));
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

// Holds the host's lock for a call, without the interpreter's.
struct HostCall {
  HostCall() { pyhost::lock(); }
  ~HostCall() { pyhost::unlock(); }
  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
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
    ioLibText = ioLib.cast<std::string>();
    context.ioLib = &ioLibText;
  }
  if (!streams.is_none()) context.streams = streams.cast<eeg::StreamCache*>();
  context.firstOutputUnused = firstUnused;
  pyhost::CallResult result;
  {
    py::gil_scoped_release release;
    HostCall lock;
    result = pyhost::call(module, entry, nlhs, prhs, context);
    held.clear();
  }
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
  HostCall lock;
  pyhost::runExitHandlers();
}

}  // namespace

PYBIND11_MODULE(_eegmex, m) {
  m.doc() = "The eegmex modules' gateways over the Python host (use the eegmex package).";
  py::class_<Target>(m, "Target", "An array written in place by a call (data=).")
      .def(py::init<py::object>(), py::arg("array"));
  py::class_<eeg::StreamCache>(m, "StreamCache", "The streams of online reads one object holds.")
      .def(py::init<>())
      .def("drop_all", &eeg::StreamCache::dropAll, "Drops every stream: the next read starts from byte 0.")
      .def("held", [](const eeg::StreamCache& c) {
        const eeg::Stream* out[eeg::kStreamSlots];
        return c.held(out);
      });
  m.def("call", &callModule, py::arg("module"), py::arg("nlhs"), py::arg("args"),
        py::arg("io_lib") = py::none(), py::arg("streams") = py::none(), py::arg("first_unused") = false,
        "Runs a module's gateway: returns (results, warnings, error). Modules: 0 eegfetch, 1 formats, 2 "
        "trigout, 3 eegmex_decimate. first_unused: the first output is asked for only to reach the second (the module may leave "
        "it unset).");
  bindDecimator(m);
  m.def("at_exit", &atExit, "Runs the modules' exit handlers: pending pulses end as scheduled.");
  m.def("live_arrays", &pyhost::liveArrays, "Host arrays alive now (for leak checks).");
}
