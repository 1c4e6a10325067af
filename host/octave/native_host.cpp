// The host operations of host/mexapi.h over Octave's own values, and the installer that makes a
// module a native Octave function (NAME.oct). Compiled once and linked into each module, whose own
// entry point (native_entry.cpp, compiled with the module's name) calls eegmexNativeInstall.
//
// What the module sees is what Octave's MEX layer shows it (measured in Octave 7.3):
//  - an argument's storage is the caller's: a numeric array's data pointer is the storage the
//    value shares with every variable that holds it (no copy is made before a write); a value
//    without storage of its own (a range, a diagonal matrix, a lazy index) hands out a full copy
//    made for the call, so writes to it are lost;
//  - struct fields are the field values themselves, the same pointer for the same field;
//  - mexErrMsgTxt raises Octave's error "NAME: message" (an octave::execution_exception); what the
//    call created (arrays, mxCalloc blocks) is released as the exception leaves the call;
//  - mexWarnMsgTxt is Octave's warning with the text as it is; mexWarnMsgIdAndTxt the same with
//    its identifier;
//  - the handler given to mexAtExit runs when Octave lets go of the function (clear NAME,
//    clear functions, clear all, exit).
// The differences: a new matrix is an Octave array from the start and is returned as it is, where
// the MEX layer fills a matrix of its own and copies it into an Octave array on return;
// mxCreateUninitNumericMatrix gives one whose storage no zero fill has touched; and
// eegmexSharedStorage tells whether a field's storage is shared with other values.
//
// Built and tested with Octave 7.3. Three things need Octave 7: the adopted storage of
// mxCreateUninitNumericMatrix (Array's allocator parameter and its constructor that adopts a
// pointer), the count of arrays that share one storage, and the later release of a library. With
// older headers (OCTAVE_MAJOR_VERSION below 7), or with EEGMEX_OCTAVE_BASIC defined, the module is
// built without them: the "unset" matrix is zero-filled, eegmexSharedStorage says only what the
// values' own counts tell, and the module's image stays mapped after an unload (NativeFunction).
#include <dlfcn.h>
#include <octave/help.h>
#include <octave/interpreter.h>
#include <octave/oct-map.h>
#include <octave/oct.h>
#include <octave/ov-dld-fcn.h>
#include <octave/version.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Octave's headers declare an mxArray class of their own (their MEX layer, not used here); the
// modules' mxArray is struct mxArray_tag, which this file calls by its tag.
#define mxArray mxArray_tag
#include "mexapi.h"
#undef mxArray

#include "native_entry.h"

#if OCTAVE_MAJOR_VERSION >= 7 && !defined(EEGMEX_OCTAVE_BASIC)
#define EEGMEX_OCTAVE_ARRAYS 1  // Octave 7's arrays and library release: see the top of the file
#endif

MEX_ENTRY void mexFunction(int nlhs, mxArray_tag* plhs[], int nrhs, const mxArray_tag* prhs[]);

// One value as the module holds it.
struct mxArray_tag {
  explicit mxArray_tag(octave_value v) : value(std::move(v)) {}
  octave_value value;
  octave_value copy;   // the full copy of a value without storage of its own, once asked for
  bool field = false;  // a field of a struct argument, which that struct holds as well
  // Fields handed out so far: (element, name) -> the field's array, owned by the call.
  std::vector<std::pair<std::pair<int, std::string>, mxArray_tag*>> fields;
  // A struct's field names, read once (each map_value() makes the whole map anew).
  string_vector names;
  bool named = false;
  // The map of a struct the module makes, which mxSetField fills in place.
  octave_map made;
};

namespace {

// The module's name, given by its entry point when Octave installs it.
const char* kName = "";

// What one call created. Released when the call ends, by return or by an error.
struct Call {
  std::vector<std::unique_ptr<mxArray_tag>> arrays;
  std::vector<void*> blocks;  // mxCalloc
  ~Call() {
    for (void* p : blocks) std::free(p);
  }
  mxArray_tag* adopt(octave_value v) {
    arrays.push_back(std::make_unique<mxArray_tag>(std::move(v)));
    return arrays.back().get();
  }
};

Call* g_call = nullptr;                 // the call in progress
void (*g_exitHandler)(void) = nullptr;  // mexAtExit's handler

// Makes `call` the current call for its lifetime.
class CallScope {
 public:
  explicit CallScope(Call& call) : previous_(g_call) { g_call = &call; }
  ~CallScope() { g_call = previous_; }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  Call* previous_;
};

// The element storage of a value: its own, or a full copy kept with the array for the call. The
// copy is made private: the full form Octave computes may be a cache the value keeps (a diagonal
// matrix keeps one), which a write must not reach.
void* storage(const mxArray_tag* a) {
  if (!a) return nullptr;
  const void* data = a->value.mex_get_data();
  if (data) return const_cast<void*>(data);
  mxArray_tag* m = const_cast<mxArray_tag*>(a);
  if (m->copy.is_undefined()) {
    if (m->value.is_double_type() && !m->value.iscomplex()) {
      NDArray full = m->value.array_value();
      full.make_unique();
      m->copy = octave_value(full);
    } else {
      m->copy = m->value.full_value();
    }
  }
  return const_cast<void*>(m->copy.mex_get_data());
}

// By the value's built-in type: one call, where comparing class names took several.
mxClassID classOf(const octave_value& v) {
  switch (v.builtin_type()) {
    case btyp_double:
    case btyp_complex: return mxDOUBLE_CLASS;
    case btyp_float:
    case btyp_float_complex: return mxSINGLE_CLASS;
    case btyp_char: return mxCHAR_CLASS;
    case btyp_bool: return mxLOGICAL_CLASS;
    case btyp_cell: return mxCELL_CLASS;
    case btyp_struct: return mxSTRUCT_CLASS;
    case btyp_func_handle: return mxFUNCTION_CLASS;
    case btyp_int8: return mxINT8_CLASS;
    case btyp_uint8: return mxUINT8_CLASS;
    case btyp_int16: return mxINT16_CLASS;
    case btyp_uint16: return mxUINT16_CLASS;
    case btyp_int32: return mxINT32_CLASS;
    case btyp_uint32: return mxUINT32_CLASS;
    case btyp_int64: return mxINT64_CLASS;
    case btyp_uint64: return mxUINT64_CLASS;
    default: return mxUNKNOWN_CLASS;
  }
}

void* allocate(size_t n, size_t size) {
  void* p = std::calloc(n ? n : 1, size ? size : 1);
  if (!p) error("%s: failed to allocate %zu bytes of memory", kName, n * size);
  if (g_call) g_call->blocks.push_back(p);
  return p;
}

#if defined(EEGMEX_OCTAVE_ARRAYS)
// Octave's arrays take their storage from std::allocator, which constructs nothing: storage taken
// from it here is adopted by an array, which releases it with the same allocator.
static_assert(std::is_same<Array<double>, Array<double, std::allocator<double>>>::value,
              "Octave's arrays use std::allocator");

// An m x n double matrix of the call over new storage whose elements are left unset, so that no
// page of it is touched here. Throws std::bad_alloc, leaving nothing allocated, when memory runs out.
mxArray_tag* adoptUnset(size_t m, size_t n) {
  std::allocator<double> allocator;
  const size_t count = m * n;
  double* storage = allocator.allocate(count);
  Array<double> owner;
  try {
    owner = Array<double>(
        storage, dim_vector(static_cast<octave_idx_type>(m), static_cast<octave_idx_type>(n)), allocator);
  } catch (...) {
    allocator.deallocate(storage, count);  // not adopted
    throw;
  }
  return g_call->adopt(octave_value(NDArray(owner)));
}

// How many arrays share the storage of `a`: Array keeps the count in its representation, which
// only a derived class may name; a member pointer formed here reads it from any array.
struct StorageCount : Array<double> {
  static octave_idx_type of(const Array<double>& a) {
    const auto rep = &StorageCount::m_rep;
    return (a.*rep)->m_count.value();
  }
};
#else
// Without Octave 7's arrays: zero-filled by Octave's array. Throws std::bad_alloc as above.
mxArray_tag* adoptUnset(size_t m, size_t n) {
  return g_call->adopt(
      octave_value(NDArray(dim_vector(static_cast<octave_idx_type>(m), static_cast<octave_idx_type>(n)))));
}
#endif

// The whole call: arguments in, mexFunction, results out. Returned arrays are the Octave values
// the module filled, not copies.
octave_value_list callModule(const octave_value_list& args, int nargout) {
  Call call;
  CallScope scope(call);
  const int nrhs = args.length();
  std::vector<const mxArray_tag*> prhs(nrhs);
  for (int i = 0; i < nrhs; ++i) prhs[i] = call.adopt(args(i));
  std::vector<mxArray_tag*> plhs(std::max(nargout, 1), nullptr);
  mexFunction(nargout, plhs.data(), nrhs, prhs.data());

  const int nout = nargout == 0 && plhs[0] ? 1 : nargout;  // a result of a call without one is ans
  octave_value_list out(nout);
  for (int i = 0; i < nout; ++i) {
    if (!plhs[i]) error("%s: output %d was not set", kName, i + 1);
    out(i) = plhs[i]->value;
  }
  return out;
}

octave_value_list entry(const octave_value_list& args, int nargout) { return callModule(args, nargout); }

// The function object Octave keeps. Its end is the module's unload: the mexAtExit handler runs
// there, so trigout's timer thread has ended before anything lets go of the image.
//
// This destructor returns into the module's image after Octave's part of it has let go of the
// library, so that hold must not be the last. With Octave 7 the destructor hands Octave one more
// hold, which Octave lets go of once no code of the module can run (Octave does the same for
// value types defined in a library): at the next prompt of an interactive session. From then on
// the module is unmapped, and the next call loads NAME.oct again, rebuilt or not, with its
// variables new. Until then a call finds the same image (Octave warns "library ... not
// reloaded due to existing references" when the file has changed), with its variables as the
// unload handler left them. Without Octave 7 the image is kept for the rest of the process
// (pinImage), and a rebuilt NAME.oct is only loaded by a new Octave.
class NativeFunction : public octave_dld_function {
 public:
  explicit NativeFunction(const octave::dynamic_library& library)
      : octave_dld_function(entry, library, kName, "") {}
  ~NativeFunction() override {
    void (*handler)(void) = g_exitHandler;
    g_exitHandler = nullptr;
    if (handler) handler();
#if defined(EEGMEX_OCTAVE_ARRAYS)
    get_shlib().delete_later();
#endif
  }

  // The help text comes from NAME.m beside NAME.oct, as it does for a MEX function.
  std::string doc_string(const std::string& = "") const override {
    std::string file = fcn_file_name();
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos) return "";
    file = file.substr(0, dot) + ".m";
    octave::interpreter* interp = octave::interpreter::the_interpreter();
    struct stat st;
    if (!interp || stat(file.c_str(), &st) != 0) return "";
    std::string text, format;
    interp->get_help_system().get_help_text_from_file(file, text, format);
    return text;
  }
};

#if defined(EEGMEX_OCTAVE_ARRAYS)
// The representation of this image's library: its count of holds, not a hold. Octave's
// dynamic_library keeps it as its one (private) member, read here from its bytes.
octave::dynamic_library::dynlib_rep* g_libraryRep = nullptr;
static_assert(sizeof(octave::dynamic_library) == sizeof(g_libraryRep), "dynamic_library is its rep");

// At exit, Octave destroys the holds it was still to let go of after its table of loaded libraries,
// which their release reads: the hold the destructor above handed over must not be the last one
// then. Registered with atexit from this image, this runs at exit while the image is mapped, and
// takes one more hold, never released. It also runs when the image is unloaded during the session,
// once the last hold has gone (count 0): then it does nothing.
void keepLibraryAtExit() {
  if (g_libraryRep && g_libraryRep->m_count.value() > 0) ++g_libraryRep->m_count;
}
#else
// Keeps this module's image mapped for the rest of the process, where Octave cannot be asked to
// let go of the library later: Octave closes it inside the function object's destructor, whose
// last instructions are in this image. A module loaded again finds its variables as the unload
// handler left them.
void pinImage() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&pinImage), &info) && info.dli_fname)
    dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}
#endif

}  // namespace

// The installer of the module named `name`, called by the entry point Octave looks up when it loads
// NAME.oct.
octave_function* eegmexNativeInstall(const octave::dynamic_library& library, bool relative,
                                     const char* name) {
  kName = name;
  check_version(OCTAVE_API_VERSION, kName);
#if defined(EEGMEX_OCTAVE_ARRAYS)
  if (!g_libraryRep) {
    std::memcpy(static_cast<void*>(&g_libraryRep), static_cast<const void*>(&library), sizeof g_libraryRep);
    std::atexit(keepLibraryAtExit);
  }
#else
  pinImage();
#endif
  NativeFunction* fcn = new NativeFunction(library);
  if (relative) fcn->mark_relative();
  return fcn;
}

// libmex

namespace {
// A Ctrl-C that eegmexInterruptPending took from Octave during this call: the call's error is then
// raised as Octave's interrupt instead, once the module has released everything.
bool g_interrupted = false;
}  // namespace

// Octave's signal handler only notes the signal; its own check (octave_quit) turns a Ctrl-C into
// the interrupt by throwing, which must not cross the module's frames: it is caught here and
// thrown again by mexErrMsgTxt.
int eegmexInterruptPending() {
  if (g_interrupted) return 1;
  if (octave_interrupt_state > 0) return g_interrupted = true, 1;
  if (!octave_signal_caught) return 0;
  try {
    octave_quit();
  } catch (const octave::interrupt_exception&) {
    g_interrupted = true;
  } catch (...) {
    octave_signal_caught = 1;  // not ours to handle: the interpreter's next check takes it
  }
  return g_interrupted ? 1 : 0;
}

// A trailing line feed ends the message as it does for the MEX layer (no traceback).
void mexErrMsgTxt(const char* text) {
  if (g_interrupted) {
    g_interrupted = false;
    throw octave::interrupt_exception();
  }
  const size_t n = text ? std::strlen(text) : 0;
  if (n == 0) error(" ");
  if (text[n - 1] == '\n') error("%s: %.*s\n", kName, static_cast<int>(n - 1), text);
  error("%s: %s", kName, text);
}

void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  char text[1024] = "";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  error_with_id(id ? id : "", "%s: %s", kName, text[0] ? text : " ");
}

void mexWarnMsgTxt(const char* text) {
  const size_t n = text ? std::strlen(text) : 0;
  if (n == 0)
    warning(" ");
  else if (text[n - 1] == '\n')
    warning("%.*s\n", static_cast<int>(n - 1), text);
  else
    warning("%s", text);
}

// The text as printf formats it, in a buffer that needs no release: the warning raises when it is
// set to be an error.
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  char text[1024] = "";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  size_t n = std::strlen(text);
  if (n > 0 && text[n - 1] == '\n') text[--n] = '\0';  // as mexWarnMsgTxt
  warning_with_id(id ? id : "", "%s", n ? text : " ");
}

mxArray_tag* mexGetVariable(const char* workspace, const char* name) {
  octave::interpreter* interp = octave::interpreter::the_interpreter();
  if (!interp || !g_call || std::strcmp(workspace, "global") != 0) return nullptr;
  octave_value v = interp->global_varval(name);
  return v.is_defined() ? g_call->adopt(v) : nullptr;
}

int mexAtExit(void (*handler)(void)) {
  g_exitHandler = handler;
  return 0;
}

// libmx

bool mxIsStruct(const mxArray_tag* a) { return a->value.isstruct(); }
bool mxIsNumeric(const mxArray_tag* a) { return a->value.isnumeric(); }
bool mxIsChar(const mxArray_tag* a) { return a->value.is_string(); }
bool mxIsComplex(const mxArray_tag* a) { return a->value.iscomplex(); }
bool mxIsSparse(const mxArray_tag* a) { return a->value.issparse(); }
mxClassID mxGetClassID(const mxArray_tag* a) { return classOf(a->value); }

int mxGetFieldNumber(const mxArray_tag* s, const char* name) {
  if (!s->value.isstruct()) return -1;
  mxArray_tag* m = const_cast<mxArray_tag*>(s);
  if (!m->named) {
    m->names = s->value.map_value().fieldnames();
    m->named = true;
  }
  for (octave_idx_type i = 0; i < m->names.numel(); ++i)
    if (m->names[i] == name) return static_cast<int>(i);
  return -1;
}

mxArray_tag* mxGetField_700(const mxArray_tag* s, int index, const char* name) {
  if (!g_call || !s->value.isstruct() || index < 0) return nullptr;
  mxArray_tag* m = const_cast<mxArray_tag*>(s);
  const std::pair<int, std::string> key(index, name);
  for (const auto& f : m->fields)
    if (f.first == key) return f.second;
  const octave_map map = s->value.map_value();
  if (!map.isfield(name) || index >= map.numel()) return nullptr;
  mxArray_tag* field = g_call->adopt(map.contents(name)(index));
  field->field = true;
  m->fields.emplace_back(key, field);
  return field;
}

size_t mxGetM(const mxArray_tag* a) { return static_cast<size_t>(a->value.dims()(0)); }

size_t mxGetN(const mxArray_tag* a) {
  const dim_vector d = a->value.dims();
  size_t n = 1;
  for (int k = 1; k < d.ndims(); ++k) n *= static_cast<size_t>(d(k));
  return n;
}

size_t mxGetNumberOfElements(const mxArray_tag* a) { return static_cast<size_t>(a->value.numel()); }
double mxGetScalar(const mxArray_tag* a) {
  return a->value.isempty() || !a->value.isnumeric() ? 0.0 : a->value.double_value(true);
}
double* mxGetPr(const mxArray_tag* a) { return static_cast<double*>(storage(a)); }
void* mxGetData(const mxArray_tag* a) { return storage(a); }

int mxGetString_700(const mxArray_tag* a, char* buf, int size) {
  const octave_idx_type n = a->value.numel();
  if (!a->value.is_string() || size < 1 || n >= size) return 1;
  // The characters where the value keeps them; a copy of them only for a value that keeps none.
  if (const void* data = a->value.mex_get_data()) {
    std::memcpy(buf, data, static_cast<size_t>(n));
  } else {
    const charNDArray chars = a->value.char_array_value();
    std::memcpy(buf, chars.data(), static_cast<size_t>(n));
  }
  buf[n] = '\0';
  return 0;
}

void* mxCalloc(size_t n, size_t size) { return allocate(n, size); }

void mxFree(void* p) {
  if (!p) return;
  if (g_call) {
    auto& blocks = g_call->blocks;
    auto it = std::find(blocks.begin(), blocks.end(), p);
    if (it != blocks.end()) blocks.erase(it);
  }
  std::free(p);
}

// A new matrix, zero-filled by Octave's array itself; returned later without a copy.
mxArray_tag* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity) {
  if (!g_call || m < 0 || n < 0) return nullptr;
  if (complexity == mxCOMPLEX) return g_call->adopt(octave_value(ComplexNDArray(dim_vector(m, n))));
  return g_call->adopt(octave_value(NDArray(dim_vector(m, n))));
}

mxArray_tag* mxCreateDoubleScalar(double value) {
  if (!g_call) return nullptr;
  return g_call->adopt(octave_value(value));
}

mxArray_tag* mxCreateString(const char* text) {
  if (!g_call) return nullptr;
  return g_call->adopt(octave_value(text ? text : ""));
}

mxArray_tag* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames) {
  if (!g_call || m < 0 || n < 0) return nullptr;
  const dim_vector dims(m, n);
  octave_map map(dims);
  for (int f = 0; f < nfields; ++f) map.setfield(fieldnames[f], Cell(dims));
  mxArray_tag* made = g_call->adopt(octave_value(map));
  made->made = map;
  return made;
}

void mxSetField_700(mxArray_tag* s, int index, const char* name, mxArray_tag* value) {
  if (!s || !value || !s->value.isstruct() || index < 0) return;
  octave_map& map = s->made;  // only structs the module made are filled
  if (!map.isfield(name) || index >= map.numel()) return;
  // The value lets go of the map's cells while one is set, so that they are never copied.
  s->value = octave_value();
  map.contents(name)(index) = value->value;
  s->value = octave_value(map);
  const std::pair<int, std::string> key(index, name);
  for (auto& f : s->fields)
    if (f.first == key) f.second = value;
}

mxArray_tag* mxCreateCellMatrix_700(int m, int n) {
  if (!g_call || m < 0 || n < 0) return nullptr;
  return g_call->adopt(octave_value(Cell(dim_vector(m, n))));
}

mxArray_tag* eegmexCreateStringCell(const char* const* texts, size_t n) {
  if (!g_call) return nullptr;
  Cell cells(dim_vector(1, static_cast<octave_idx_type>(n)));
  for (size_t i = 0; i < n; ++i) cells(static_cast<octave_idx_type>(i)) = octave_value(texts[i]);
  return g_call->adopt(octave_value(cells));
}

// The struct array in one step: a Cell per field, filled from its column, made the map's field.
// A value equal to one met shortly before in its column (the same text, or the same double to the
// bit) is that value again, shared as Octave shares any copy: marker types, descriptions of a few
// codes, durations and empty texts then cost no allocation each. The values met are kept in a small
// table indexed by a hash of the value, each slot holding the element that last had that hash.
namespace {
constexpr int kRecentBits = 6;

inline unsigned recentSlot(uint64_t hash) { return static_cast<unsigned>(hash >> (64 - kRecentBits)); }

inline uint64_t textHash(const char* text) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    h = (h ^ *p) * 1099511628211ull;
  return h * 0x9E3779B97F4A7C15ull;
}

inline uint64_t numberHash(double value, uint64_t& bits) {
  std::memcpy(&bits, &value, sizeof bits);
  return bits * 0x9E3779B97F4A7C15ull;
}
}  // namespace

mxArray_tag* eegmexCreateRecords(size_t n, int nfields, const eegmexColumn* columns) {
  if (!g_call || nfields < 0 || nfields > EEGMEX_RECORD_FIELDS) return nullptr;
  const octave_idx_type count = static_cast<octave_idx_type>(n);
  const dim_vector dims = n ? dim_vector(1, count) : dim_vector(0, 0);
  octave_map map(dims);
  for (int f = 0; f < nfields; ++f) {
    const eegmexColumn& c = columns[f];
    Cell cells(dims);
    octave_value* out = cells.fortran_vec();
    octave_idx_type recent[1 << kRecentBits];
    std::fill(std::begin(recent), std::end(recent), -1);
    for (octave_idx_type i = 0; i < count; ++i) {
      if (c.numbers) {
        uint64_t bits = 0, seen = 0;
        octave_idx_type& slot = recent[recentSlot(numberHash(c.numbers[i], bits))];
        if (slot >= 0 && (std::memcpy(&seen, &c.numbers[slot], sizeof seen), seen == bits))
          out[i] = out[slot];
        else
          out[i] = octave_value(c.numbers[i]);
        slot = i;
      } else {
        octave_idx_type& slot = recent[recentSlot(textHash(c.texts[i]))];
        if (slot >= 0 && std::strcmp(c.texts[slot], c.texts[i]) == 0)
          out[i] = out[slot];
        else
          out[i] = octave_value(c.texts[i]);
        slot = i;
      }
    }
    map.setfield(c.name, cells);
  }
  return g_call->adopt(octave_value(map));
}

// The value lets go of its cells while one is set, so that the cells are never copied: filling n
// elements takes time in n, not n squared.
void mxSetCell_700(mxArray_tag* a, int index, mxArray_tag* value) {
  if (!a || !value || !a->value.iscell() || index < 0 || index >= a->value.numel()) return;
  Cell cells = a->value.cell_value();
  a->value = octave_value();
  cells(index) = value->value;
  a->value = octave_value(cells);
}

// A new real double matrix whose elements are left unset, for the module to write each one once
// (from several threads, say) without a zero fill before. A failed allocation raises as mxCalloc's.
mxArray_tag* mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid, mxComplexity complexity) {
  if (!g_call || classid != mxDOUBLE_CLASS || complexity != mxREAL) return nullptr;
  const size_t most = static_cast<size_t>(std::numeric_limits<octave_idx_type>::max()) / sizeof(double);
  mxArray_tag* made = nullptr;
  if (n == 0 || m <= most / n) {
    try {
      made = adoptUnset(m, n);
    } catch (const std::bad_alloc&) {
      made = nullptr;
    }
  }
  if (!made) error("%s: failed to allocate memory for a %zu x %zu matrix", kName, m, n);
  return made;
}

// A field's value is held by its struct and by `a`; any other holder of the value is a variable,
// a constant of the caller's code or another field. The storage of a matrix is further held by
// the value's own array; any other array holding it is a variable's, or the matrix this one was
// cut from (M(:, 2:3)) or reshaped from.
int eegmexSharedStorage(const mxArray_tag* a) {
  if (!a || !a->field) return -1;
  const octave_value& v = a->value;
  const void* data = v.mex_get_data();
  if (!data) return 0;  // the module writes a copy made for the call (storage())
  if (v.get_count() > 2) return 1;
#if defined(EEGMEX_OCTAVE_ARRAYS)
  if (v.builtin_type() == btyp_double) {
    const NDArray values = v.array_value();  // one more array on the same storage
    if (values.data() == data) return StorageCount::of(values) > 2 ? 1 : 0;
    if (v.is_scalar_type()) return 0;  // kept in the value itself
  }
#endif
  return -1;
}
