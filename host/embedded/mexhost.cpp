// The embedded host: global variables, call-scoped storage, the error jump and the C++ API of the
// tests; the array operations are the plain hosts' (host/plain_host.cpp).
#include "mexhost.h"

#include <atomic>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>

#include "plain_array.h"
#include "plain_host.h"

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

[[noreturn]] void jumpWith(const char* text) {
  if (!g_call) {
    std::fprintf(stderr, "mexhost: error raised outside a call: %s\n", text);
    std::abort();
  }
  g_call->message = text ? text : "";
  std::longjmp(g_call->jump, 1);
}

const char* const kOutOfMemory = "Out of memory. Type \"help memory\" for your options.";

// Counts a host allocation; true for the one chosen to fail.
bool countAllocationFails() {
  ++g_allocCount;
  return g_failAt != 0 && g_allocCount == g_failAt;
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

// ---- what the embedded host does its own way ------------------------------------------------

namespace plainhost {

void raise(const char* text) { jumpWith(text); }
void outOfMemory() { jumpWith(kOutOfMemory); }

// The identifier is not kept (CallResult has the texts only).
void warn(const char*, const char* text) {
  if (g_call) g_call->warnings.push_back(text ? text : "");
}

// Every array and block counts as one host allocation, which can be made to fail as MATLAB fails:
// with an error.
mxArray* adopt(mxArray* a) {
  if (!a || countAllocationFails()) {
    plainarray::destroy(a);
    outOfMemory();
  }
  if (g_call) g_call->temporaries.insert(a);
  return a;
}

void disown(mxArray* a) {
  if (g_call) g_call->temporaries.erase(a);
}

void* adoptBlock(void* p) {
  if (!p || countAllocationFails()) {
    std::free(p);
    outOfMemory();
  }
  ++g_liveCallocs;
  if (g_call) g_call->callocs.insert(p);
  return p;
}

void disownBlock(void* p) {
  if (g_call) g_call->callocs.erase(p);
  --g_liveCallocs;
}

// Storage that MATLAB would leave as it comes holds a poison value here, a NaN no arithmetic
// makes (a signalling one with a payload of its own), so that an element the module fails to
// write shows in any comparison of the result.
void leftUnset(double* values, size_t n) {
  const uint64_t poison = 0x7ff4dead0badf00dull;
  for (size_t i = 0; i < n; ++i) std::memcpy(values + i, &poison, sizeof poison);
}

}  // namespace plainhost

// ---- libmex: what the plain hosts do not share ---------------------------------------------

HOST_EXPORT mxArray* mexGetVariable(const char* workspace, const char* name) {
  if (!workspace || !name || std::strcmp(workspace, "global") != 0) return nullptr;
  auto it = g_globals.find(name);
  if (it == g_globals.end()) return nullptr;
  return plainhost::adopt(plainarray::copy(it->second));
}

HOST_EXPORT int mexAtExit(void (*handler)(void)) {
  std::vector<void (*)(void)>& list = g_exitHandlers ? *g_exitHandlers : g_looseExitHandlers;
  list.clear();  // MATLAB keeps one handler per module: the last one registered
  if (handler) list.push_back(handler);
  return 0;
}

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

Array charArray(const std::string& text) { return Array(plainarray::text(text.data(), text.size())); }

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
  plainarray::store(s, index * s->fields.size() + static_cast<size_t>(plainarray::fieldNumber(s, name)),
                    value.release());
}

Array duplicate(const mxArray* a) { return Array(plainarray::copy(a)); }

std::vector<double> values(const mxArray* a) {
  std::vector<double> out;
  if (!a || !a->re) return out;
  for (size_t i = 0; i < a->m * a->n; ++i) out.push_back(plainarray::asDouble(a, i));
  return out;
}

void setGlobal(const std::string& name, const mxArray* value) {
  clearGlobal(name);
  g_globals[name] = plainarray::copy(value);
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
