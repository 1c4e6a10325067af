// The embedded host: arrays, global variables, call-scoped storage and the error jump.
#include "mexhost.h"

#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>

#include "mxelement.h"
#include "plain_array.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#if defined(_WIN32)
#define HOST_EXPORT extern "C" __declspec(dllexport)
#else
#define HOST_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

std::atomic<size_t> g_liveCallocs{0};
size_t g_allocCount = 0;
size_t g_failAt = 0;

struct CallState {
  std::jmp_buf jump;
  std::string message;
  std::vector<std::string> warnings;
  std::set<mxArray*> temporaries;  // created in the call and not (yet) returned
  std::set<void*> callocs;
};
CallState* g_call = nullptr;
std::vector<void (*)(void)>* g_exitHandlers = nullptr;  // of the module being called
std::vector<void (*)(void)> g_looseExitHandlers;        // of modules called through plain `call`
std::map<std::string, mxArray*> g_globals;

[[noreturn]] void raise(const char* text) {
  if (!g_call) {
    std::fprintf(stderr, "mexhost: error raised outside a call: %s\n", text);
    std::abort();
  }
  g_call->message = text ? text : "";
  std::longjmp(g_call->jump, 1);
}

// Counts host allocations and fails the chosen one as MATLAB does: with an error.
void hostAllocation() {
  ++g_allocCount;
  if (g_failAt != 0 && g_allocCount == g_failAt)
    raise("Out of memory. Type \"help memory\" for your options.");
}

mxArray* copyArray(const mxArray* a) {
  if (!a) return nullptr;
  mxArray* c = plainarray::make(a->cls, a->m, a->n, a->isComplex);
  size_t bytes = plainarray::elementSize(a->cls) * a->m * a->n;
  if (bytes) {
    std::memcpy(c->re, a->re, bytes);
    if (a->isComplex) std::memcpy(c->im, a->im, bytes);
  }
  c->fields = a->fields;
  c->items.resize(a->items.size());
  for (size_t i = 0; i < a->items.size(); ++i) c->items[i] = copyArray(a->items[i]);
  return c;
}

double readAsDouble(const mxArray* a, size_t i) {
  switch (a->cls) {
    case mxLOGICAL_CLASS: return static_cast<const uint8_t*>(a->re)[i];
    case mxCHAR_CLASS: return static_cast<const mxChar*>(a->re)[i];
    default: return mxClassIsNumeric(a->cls) ? mxElementAsDouble(a->cls, a->re, i) : 0.0;
  }
}

template <typename T>
T saturate(double v) {
  if (std::isnan(v)) return 0;
  double r = std::round(v);
  if (r <= static_cast<double>(std::numeric_limits<T>::lowest())) return std::numeric_limits<T>::lowest();
  if (r >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(r);
}

void writeFromDouble(mxArray* a, size_t i, double v) {
  void* p = a->re;
  switch (a->cls) {
    case mxDOUBLE_CLASS: static_cast<double*>(p)[i] = v; break;
    case mxSINGLE_CLASS: static_cast<float*>(p)[i] = static_cast<float>(v); break;
    case mxINT8_CLASS: static_cast<int8_t*>(p)[i] = saturate<int8_t>(v); break;
    case mxUINT8_CLASS: static_cast<uint8_t*>(p)[i] = saturate<uint8_t>(v); break;
    case mxINT16_CLASS: static_cast<int16_t*>(p)[i] = saturate<int16_t>(v); break;
    case mxUINT16_CLASS: static_cast<uint16_t*>(p)[i] = saturate<uint16_t>(v); break;
    case mxINT32_CLASS: static_cast<int32_t*>(p)[i] = saturate<int32_t>(v); break;
    case mxUINT32_CLASS: static_cast<uint32_t*>(p)[i] = saturate<uint32_t>(v); break;
    case mxINT64_CLASS: static_cast<int64_t*>(p)[i] = saturate<int64_t>(v); break;
    case mxUINT64_CLASS: static_cast<uint64_t*>(p)[i] = saturate<uint64_t>(v); break;
    case mxLOGICAL_CLASS: static_cast<uint8_t*>(p)[i] = v != 0; break;
    case mxCHAR_CLASS: static_cast<mxChar*>(p)[i] = static_cast<mxChar>(v); break;
    default: break;
  }
}

}  // namespace

// ---- libmex -------------------------------------------------------------------------------

HOST_EXPORT void mexErrMsgTxt(const char* text) { raise(text); }

// The text as printf formats it; the identifier is not kept, as for warnings.
HOST_EXPORT void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  (void)id;
  char text[1024] = "";
  if (format) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
  }
  raise(text);
}

HOST_EXPORT void mexWarnMsgTxt(const char* text) {
  if (g_call) g_call->warnings.push_back(text ? text : "");
}

// The text as printf formats it; the identifier is not kept (CallResult has the texts only).
HOST_EXPORT void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  (void)id;
  if (!g_call || !format) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  g_call->warnings.push_back(text);
}

HOST_EXPORT mxArray* mexGetVariable(const char* workspace, const char* name) {
  if (!workspace || !name || std::strcmp(workspace, "global") != 0) return nullptr;
  auto it = g_globals.find(name);
  if (it == g_globals.end()) return nullptr;
  hostAllocation();
  mxArray* c = copyArray(it->second);
  if (g_call) g_call->temporaries.insert(c);
  return c;
}

HOST_EXPORT int mexAtExit(void (*handler)(void)) {
  std::vector<void (*)(void)>& list = g_exitHandlers ? *g_exitHandlers : g_looseExitHandlers;
  list.clear();  // MATLAB keeps one handler per module: the last one registered
  if (handler) list.push_back(handler);
  return 0;
}

// ---- libmx --------------------------------------------------------------------------------

HOST_EXPORT bool mxIsStruct(const mxArray* a) { return a && a->cls == mxSTRUCT_CLASS; }
HOST_EXPORT bool mxIsNumeric(const mxArray* a) { return a && mxClassIsNumeric(a->cls); }
HOST_EXPORT bool mxIsChar(const mxArray* a) { return a && a->cls == mxCHAR_CLASS; }
HOST_EXPORT bool mxIsComplex(const mxArray* a) { return a && a->isComplex; }
HOST_EXPORT bool mxIsSparse(const mxArray*) { return false; }
HOST_EXPORT mxClassID mxGetClassID(const mxArray* a) { return a ? a->cls : mxUNKNOWN_CLASS; }

HOST_EXPORT int mxGetFieldNumber(const mxArray* s, const char* name) {
  if (!mxIsStruct(s) || !name) return -1;
  for (size_t f = 0; f < s->fields.size(); ++f)
    if (s->fields[f] == name) return static_cast<int>(f);
  return -1;
}

HOST_EXPORT mxArray* mxGetField_700(const mxArray* s, int index, const char* name) {
  int f = mxGetFieldNumber(s, name);
  if (f < 0 || index < 0 || static_cast<size_t>(index) >= s->m * s->n) return nullptr;
  return s->items[static_cast<size_t>(index) * s->fields.size() + static_cast<size_t>(f)];
}

HOST_EXPORT size_t mxGetM(const mxArray* a) { return a ? a->m : 0; }
HOST_EXPORT size_t mxGetN(const mxArray* a) { return a ? a->n : 0; }
HOST_EXPORT size_t mxGetNumberOfElements(const mxArray* a) { return a ? a->m * a->n : 0; }

HOST_EXPORT double mxGetScalar(const mxArray* a) {
  if (!a || a->m * a->n == 0 || !a->re) return 0.0;
  return readAsDouble(a, 0);
}

// Like MATLAB: the real storage whatever the class (reading it as doubles is the caller's risk),
// and null for an empty array.
HOST_EXPORT double* mxGetPr(const mxArray* a) { return a ? static_cast<double*>(a->re) : nullptr; }
HOST_EXPORT void* mxGetData(const mxArray* a) { return a ? a->re : nullptr; }

HOST_EXPORT int mxGetString_700(const mxArray* a, char* buf, int size) {
  if (!buf || size <= 0) return 1;
  if (!a || a->cls != mxCHAR_CLASS) {
    buf[0] = '\0';
    return 1;
  }
  size_t count = a->m * a->n;
  size_t room = static_cast<size_t>(size) - 1;
  size_t copied = count < room ? count : room;
  const mxChar* chars = static_cast<const mxChar*>(a->re);
  for (size_t i = 0; i < copied; ++i) buf[i] = static_cast<char>(chars[i] < 256 ? chars[i] : '?');
  buf[copied] = '\0';
  return copied < count ? 1 : 0;
}

HOST_EXPORT void* mxCalloc(size_t n, size_t size) {
  hostAllocation();
  void* p = std::calloc(n ? n : 1, size ? size : 1);
  if (!p) raise("Out of memory. Type \"help memory\" for your options.");
  ++g_liveCallocs;
  if (g_call) g_call->callocs.insert(p);
  return p;
}

HOST_EXPORT void mxFree(void* p) {
  if (!p) return;
  if (g_call) g_call->callocs.erase(p);
  std::free(p);
  --g_liveCallocs;
}

HOST_EXPORT mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity) {
  if (m < 0) m = 0;  // MATLAB treats negative sizes as 0
  if (n < 0) n = 0;
  hostAllocation();
  mxArray* a = plainarray::make(mxDOUBLE_CLASS, static_cast<size_t>(m), static_cast<size_t>(n),
                                complexity == mxCOMPLEX);
  if (!a) raise("Out of memory. Type \"help memory\" for your options.");
  if (g_call) g_call->temporaries.insert(a);
  return a;
}

HOST_EXPORT mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = mxCreateDoubleMatrix_700(1, 1, mxREAL);
  *static_cast<double*>(a->re) = value;
  return a;
}

HOST_EXPORT mxArray* mxCreateString(const char* text) {
  const size_t n = text ? std::strlen(text) : 0;
  hostAllocation();
  mxArray* a = plainarray::make(mxCHAR_CLASS, n ? 1 : 0, n);
  if (!a) raise("Out of memory. Type \"help memory\" for your options.");
  for (size_t i = 0; i < n; ++i) static_cast<mxChar*>(a->re)[i] = static_cast<unsigned char>(text[i]);
  if (g_call) g_call->temporaries.insert(a);
  return a;
}

HOST_EXPORT mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames) {
  hostAllocation();
  mxArray* a = plainarray::make(mxSTRUCT_CLASS, static_cast<size_t>(m < 0 ? 0 : m),
                                static_cast<size_t>(n < 0 ? 0 : n));
  if (!a) raise("Out of memory. Type \"help memory\" for your options.");
  for (int f = 0; f < nfields; ++f) mexhost::addField(a, fieldnames[f]);
  if (g_call) g_call->temporaries.insert(a);
  return a;
}

HOST_EXPORT void mxSetField_700(mxArray* s, int index, const char* name, mxArray* value) {
  const int field = mxGetFieldNumber(s, name);
  if (!s || field < 0 || index < 0 || size_t(index) >= s->m * s->n) return;
  const size_t slot = size_t(index) * s->fields.size() + size_t(field);
  plainarray::destroy(s->items[slot]);
  s->items[slot] = value;
  if (g_call) g_call->temporaries.erase(value);  // the struct owns it now
}

HOST_EXPORT mxArray* mxCreateCellMatrix_700(int m, int n) {
  hostAllocation();
  mxArray* a =
      plainarray::make(mxCELL_CLASS, static_cast<size_t>(m < 0 ? 0 : m), static_cast<size_t>(n < 0 ? 0 : n));
  if (!a) raise("Out of memory. Type \"help memory\" for your options.");
  if (g_call) g_call->temporaries.insert(a);
  return a;
}

HOST_EXPORT void mxSetCell_700(mxArray* a, int index, mxArray* value) {
  if (!a || a->cls != mxCELL_CLASS || index < 0 || size_t(index) >= a->m * a->n) return;
  plainarray::destroy(a->items[size_t(index)]);
  a->items[size_t(index)] = value;
  if (g_call) g_call->temporaries.erase(value);  // the cell array owns it now
}

#if defined(EEGMEX_HOST_UNINIT_MATRIX)
// Storage that MATLAB would leave as it comes holds a poison value here, a NaN no arithmetic
// makes (a signalling one with a payload of its own), so that an element the module fails to
// write shows in any comparison of the result.
HOST_EXPORT mxArray* mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid,
                                                 mxComplexity complexity) {
  if (classid != mxDOUBLE_CLASS || complexity != mxREAL) return nullptr;
  hostAllocation();
  mxArray* a = plainarray::make(mxDOUBLE_CLASS, m, n);
  if (!a) raise("Out of memory. Type \"help memory\" for your options.");
  const uint64_t poison = 0x7ff4dead0badf00dull;
  for (size_t i = 0; i < m * n; ++i) std::memcpy(static_cast<double*>(a->re) + i, &poison, sizeof poison);
  if (g_call) g_call->temporaries.insert(a);
  return a;
}
#endif

// ---- C++ API ------------------------------------------------------------------------------

namespace mexhost {

void ArrayDeleter::operator()(mxArray* a) const { plainarray::destroy(a); }

Array numeric(mxClassID cls, size_t m, size_t n, const std::vector<double>& vals) {
  Array a(plainarray::make(cls, m, n));
  for (size_t i = 0; i < vals.size() && i < m * n; ++i) writeFromDouble(a.get(), i, vals[i]);
  return a;
}

Array doubleMatrix(size_t m, size_t n, const std::vector<double>& vals) {
  return numeric(mxDOUBLE_CLASS, m, n, vals);
}
Array rowVector(const std::vector<double>& vals) { return doubleMatrix(1, vals.size(), vals); }
Array scalar(double v) { return doubleMatrix(1, 1, {v}); }

Array complexMatrix(size_t m, size_t n, const std::vector<double>& re, const std::vector<double>& im) {
  Array a(plainarray::make(mxDOUBLE_CLASS, m, n, true));
  for (size_t i = 0; i < m * n; ++i) {
    static_cast<double*>(a->re)[i] = i < re.size() ? re[i] : 0.0;
    static_cast<double*>(a->im)[i] = i < im.size() ? im[i] : 0.0;
  }
  return a;
}

Array charMatrix(size_t m, size_t n, const std::string& text) {
  Array a(plainarray::make(mxCHAR_CLASS, m, n));
  for (size_t i = 0; i < text.size() && i < m * n; ++i)
    static_cast<mxChar*>(a->re)[i] = static_cast<unsigned char>(text[i]);
  return a;
}

Array charArray(const std::string& text) { return charMatrix(text.empty() ? 0 : 1, text.size(), text); }

Array structArray(size_t m, size_t n) { return Array(plainarray::make(mxSTRUCT_CLASS, m, n)); }
Array cellArray(size_t m, size_t n) { return Array(plainarray::make(mxCELL_CLASS, m, n)); }

void addField(mxArray* s, const char* name) {
  if (!plainarray::appendField(s, name)) return;
  const size_t count = s->fields.size();
  for (size_t e = 0; e < s->m * s->n; ++e)
    s->items[e * count + count - 1] = plainarray::make(mxDOUBLE_CLASS, 0, 0);
}

void setField(mxArray* s, const char* name, Array value, size_t index) {
  addField(s, name);
  if (index >= s->m * s->n) return;
  size_t slot = index * s->fields.size() + static_cast<size_t>(mxGetFieldNumber(s, name));
  plainarray::destroy(s->items[slot]);
  s->items[slot] = value.release();
}

Array duplicate(const mxArray* a) { return Array(copyArray(a)); }

std::vector<double> values(const mxArray* a) {
  std::vector<double> out;
  if (!a || !a->re) return out;
  for (size_t i = 0; i < a->m * a->n; ++i) out.push_back(readAsDouble(a, i));
  return out;
}

void setGlobal(const std::string& name, const mxArray* value) {
  clearGlobal(name);
  g_globals[name] = copyArray(value);
}

void clearGlobal(const std::string& name) {
  auto it = g_globals.find(name);
  if (it == g_globals.end()) return;
  plainarray::destroy(it->second);
  g_globals.erase(it);
}

void clearGlobals() {
  for (auto& kv : g_globals) plainarray::destroy(kv.second);
  g_globals.clear();
}

namespace {
CallResult callWith(MexFunction fn, int nlhs, const std::vector<const mxArray*>& args) {
  CallResult result;
  CallState state;
  CallState* outer = g_call;
  g_call = &state;
  std::vector<mxArray*> plhs(static_cast<size_t>(nlhs > 0 ? nlhs : 1), nullptr);
  std::vector<const mxArray*> prhs(args);
  if (setjmp(state.jump) == 0) {
    fn(nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
  } else {
    result.failed = true;
    result.message = state.message;
  }
  g_call = outer;
  result.warnings = state.warnings;
  // MATLAB keeps the results only of a call that succeeded.
  for (int i = 0; i < nlhs; ++i) {
    mxArray* r = plhs[static_cast<size_t>(i)];
    if (!result.failed && r && state.temporaries.erase(r)) {
      result.results.emplace_back(r);
    } else {
      result.results.emplace_back(nullptr);
    }
  }
  for (mxArray* t : state.temporaries) plainarray::destroy(t);
  for (void* p : state.callocs) {
    std::free(p);
    --g_liveCallocs;
  }
  return result;
}
}  // namespace

CallResult call(MexFunction fn, int nlhs, const std::vector<const mxArray*>& args) {
  return callWith(fn, nlhs, args);
}

struct ModuleExit {
  std::map<void*, std::vector<void (*)(void)>> handlers;
};
static ModuleExit g_moduleExit;

Module::Module(const std::string& path) {
#if defined(_WIN32)
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_)
    entry_ = reinterpret_cast<MexFunction>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), "mexFunction")));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_) entry_ = reinterpret_cast<MexFunction>(dlsym(handle_, "mexFunction"));
#endif
  if (!handle_ || !entry_) {
    std::fprintf(stderr, "mexhost: cannot load module %s\n", path.c_str());
    std::abort();
  }
}

Module::~Module() { unload(); }

CallResult Module::call(int nlhs, const std::vector<const mxArray*>& args) {
  if (!handle_) {
    std::fprintf(stderr, "mexhost: call of an unloaded module\n");
    std::abort();
  }
  std::vector<void (*)(void)>* outer = g_exitHandlers;
  g_exitHandlers = &g_moduleExit.handlers[handle_];
  CallResult r = callWith(entry_, nlhs, args);
  g_exitHandlers = outer;
  return r;
}

void Module::unload() {
  if (!handle_) return;
  auto it = g_moduleExit.handlers.find(handle_);
  if (it != g_moduleExit.handlers.end()) {
    std::vector<void (*)(void)> handlers = it->second;
    g_moduleExit.handlers.erase(it);
    for (auto h : handlers) h();
  }
#if defined(_WIN32)
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
  entry_ = nullptr;
}

size_t liveArrays() { return plainarray::live.load(); }
size_t liveCallocs() { return g_liveCallocs.load(); }

void failHostAllocation(size_t n) {
  g_allocCount = 0;
  g_failAt = n;
}

}  // namespace mexhost
