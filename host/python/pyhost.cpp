// The Python host: the call's storage and context, the error jump and the modules' exit handlers;
// the array operations are the plain hosts' (host/plain_host.cpp).
#include "pyhost.h"

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "../plain_array.h"
#include "../plain_host.h"

namespace {

const char* const kOutOfMemory = "Out of memory.";

struct CallState {
  std::jmp_buf jump;
  std::string message;
  std::vector<std::pair<std::string, std::string>> warnings;
  std::set<mxArray*> temporaries;  // created in the call and not (yet) returned
  std::set<void*> callocs;
  const pyhost::CallContext* context = nullptr;
  pyhost::Module module = pyhost::Module::eegfetch;
};
// The call in progress on this thread: calls on different threads run at once, each with its own.
thread_local CallState* g_call = nullptr;
// The modules' exit handlers, under their own lock (calls of two modules may register at once).
std::mutex g_exitLock;
void (*g_exitHandlers[4])(void) = {nullptr, nullptr, nullptr, nullptr};
bool g_exited = false;  // the exit handlers have run (under g_exitLock)
// Tests only: the bookkeeping entry that fails as if memory ran out (0: none).
std::atomic<long> g_failBookkeepingAt{0};

// Notes what the call made in its bookkeeping; false when memory runs out (never throws).
template <typename T>
bool note(std::set<T*>& into, T* item) noexcept {
  if (g_failBookkeepingAt.load(std::memory_order_relaxed) > 0 && g_failBookkeepingAt.fetch_sub(1) == 1)
    return false;
  try {
    into.insert(item);
    return true;
  } catch (...) {
    return false;
  }
}

[[noreturn]] void jumpWith(const char* text) {
  if (!g_call) {
    std::fprintf(stderr, "eegmex: error raised outside a call: %s\n", text ? text : "");
    std::abort();
  }
  g_call->message = text ? text : "";
  std::longjmp(g_call->jump, 1);
}

}  // namespace

// ---- what the Python host does its own way --------------------------------------------------

namespace plainhost {

void raise(const char* text) { jumpWith(text); }
void outOfMemory() { jumpWith(kOutOfMemory); }

void warn(const char* id, const char* text) {
  if (!g_call) return;
  try {
    g_call->warnings.emplace_back(id ? id : "", text ? text : "");
  } catch (...) {  // out of memory: the warning is lost, the call goes on
  }
}

mxArray* adopt(mxArray* a) {
  if (!a) outOfMemory();
  if (g_call && !note(g_call->temporaries, a)) {
    plainarray::destroy(a);
    outOfMemory();
  }
  return a;
}

void disown(mxArray* a) {
  if (g_call) g_call->temporaries.erase(a);
}

void* adoptBlock(void* p) {
  if (!p) outOfMemory();
  if (g_call && !note(g_call->callocs, p)) {
    std::free(p);
    outOfMemory();
  }
  return p;
}

void disownBlock(void* p) {
  if (g_call) g_call->callocs.erase(p);
}

// Left as malloc gives it: the module writes every element, and numpy takes the storage as it is.
void leftUnset(double*, size_t) {}

}  // namespace plainhost

// ---- libmex and the host interface: what the plain hosts do not share ----------------------

extern "C" {

// The one global a module asks for, IO_LIB, comes with the call.
mxArray* mexGetVariable(const char* workspace, const char* name) {
  if (!g_call || !workspace || !name || std::strcmp(workspace, "global") != 0) return nullptr;
  if (std::strcmp(name, "IO_LIB") != 0 || !g_call->context->ioLib) return nullptr;
  return plainhost::adopt(pyhost::text(*g_call->context->ioLib).release());
}

int mexAtExit(void (*handler)(void)) {
  if (!g_call) return 0;
  std::lock_guard<std::mutex> hold(g_exitLock);
  g_exitHandlers[static_cast<int>(g_call->module)] = handler;
  return 0;
}

// The records as their columns: one struct, each field a 1 x n row of numbers or a 1 x n cell of texts.
mxArray* eegmexCreateRecords(size_t n, int nfields, const eegmexColumn* columns) {
  if (nfields < 0 || nfields > EEGMEX_RECORD_FIELDS) return nullptr;
  mxArray* s = plainhost::adopt(plainarray::make(mxSTRUCT_CLASS, 1, 1));
  for (int f = 0; f < nfields; ++f) {
    const eegmexColumn& c = columns[f];
    mxArray* column;
    if (c.numbers) {
      column = plainhost::adopt(plainarray::make(mxDOUBLE_CLASS, 1, n, false, true));
      for (size_t i = 0; i < n; ++i) static_cast<double*>(column->re)[i] = c.numbers[i];
    } else {
      column = plainhost::adopt(plainarray::make(mxCELL_CLASS, 1, n));
      for (size_t i = 0; i < n; ++i) {
        const char* t = c.texts[i];
        plainarray::store(column, i, plainhost::adopt(plainarray::text(t, std::strlen(t))));
        plainhost::disown(column->items[i]);
      }
    }
    plainarray::appendField(s, c.name);
    plainarray::store(s, s->fields.size() - 1, column);
    plainhost::disown(column);
  }
  return s;
}

void eegmexTargetSteps(const mxArray* a, int64_t* rowStep, int64_t* columnStep) {
  const bool borrowed = a && a->borrowed;
  *rowStep = borrowed ? a->rowStep : 1;
  *columnStep = borrowed ? a->columnStep : static_cast<int64_t>(a ? a->m : 0);
}

void* eegmexCallStreams(void) { return g_call ? g_call->context->streams : nullptr; }

int eegmexOutputWanted(int i) { return !(i == 0 && g_call && g_call->context->firstOutputUnused); }

int eegmexInterruptPending(void) {
  return g_call && g_call->context->interrupted && g_call->context->interrupted() ? 1 : 0;
}

}  // extern "C"

// ---- C++ API ------------------------------------------------------------------------------

namespace pyhost {

size_t elementSize(mxClassID cls) { return plainarray::elementSize(cls); }

void ArrayDeleter::operator()(mxArray* a) const { plainarray::destroy(a); }

Array numeric(mxClassID cls, size_t m, size_t n, bool isComplex) {
  return Array(plainarray::make(cls, m, n, isComplex));
}

Array text(const std::string& bytes) { return Array(plainarray::text(bytes.data(), bytes.size())); }

Array structArray(size_t m, size_t n) { return Array(plainarray::make(mxSTRUCT_CLASS, m, n)); }
Array cellArray(size_t m, size_t n) { return Array(plainarray::make(mxCELL_CLASS, m, n)); }

Array borrowedDoubles(double* data, size_t m, size_t n, int64_t rowStep, int64_t columnStep) {
  Array a(plainarray::make(mxDOUBLE_CLASS, 0, 0));
  if (!a) return a;
  a->m = m;
  a->n = n;
  a->re = data;
  a->borrowed = true;
  a->rowStep = rowStep;
  a->columnStep = columnStep;
  return a;
}

void setField(mxArray* s, const char* name, Array value, size_t index) {
  plainarray::appendField(s, name);
  if (index >= s->m * s->n) return;
  plainarray::store(s, index * s->fields.size() + static_cast<size_t>(plainarray::fieldNumber(s, name)),
                    value.release());
}

void setCell(mxArray* c, size_t index, Array value) {
  if (index < c->items.size()) plainarray::store(c, index, value.release());
}

mxClassID classOf(const mxArray* a) { return a->cls; }
bool isComplexArray(const mxArray* a) { return a->isComplex; }
size_t rowsOf(const mxArray* a) { return a->m; }
size_t columnsOf(const mxArray* a) { return a->n; }
void* realData(mxArray* a) { return a->re; }
void* imagData(mxArray* a) { return a->im; }

std::string textOf(const mxArray* a) {
  std::string s(a->m * a->n, '\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(static_cast<const mxChar*>(a->re)[i]);
  return s;
}

const std::vector<std::string>& fieldNames(const mxArray* a) { return a->fields; }
const mxArray* fieldAt(const mxArray* s, size_t index, size_t field) {
  return s->items[index * s->fields.size() + field];
}
const mxArray* cellAt(const mxArray* c, size_t index) { return c->items[index]; }

double* takeDoubles(mxArray* a) {
  if (a->borrowed || a->cls != mxDOUBLE_CLASS || a->isComplex) return nullptr;
  double* d = static_cast<double*>(a->re);
  a->re = nullptr;
  return d;
}

namespace {
// The jump lands here; nothing in this frame has a destructor.
bool runGateway(CallState& state, MexFunction fn, int nlhs, mxArray** plhs, int nrhs, const mxArray** prhs) {
  if (setjmp(state.jump) == 0) {
    fn(nlhs, plhs, nrhs, prhs);
    return true;
  }
  return false;
}

// A C++ exception out of a gateway (none is raised on purpose) fails the call like an error.
bool runGatewayCaught(CallState& state, MexFunction fn, int nlhs, mxArray** plhs, int nrhs,
                      const mxArray** prhs) noexcept {
  try {
    return runGateway(state, fn, nlhs, plhs, nrhs, prhs);
  } catch (const std::bad_alloc&) {
    state.message = kOutOfMemory;
  } catch (const std::exception& e) {
    state.message = e.what();
  } catch (...) {
    state.message = "unexpected exception";
  }
  return false;
}

// Makes `g_call` the call's for a scope, and gives back the one before it (null) however it ends.
struct CurrentCall {
  explicit CurrentCall(CallState& state) : previous(g_call) { g_call = &state; }
  ~CurrentCall() { g_call = previous; }
  CallState* previous;
};
}  // namespace

CallResult call(Module module, MexFunction fn, int nlhs, const std::vector<const mxArray*>& args,
                const CallContext& context) {
  CallResult result;
  CallState state;
  state.context = &context;
  state.module = module;
  // Whatever happens below, the call's temporaries and blocks are released.
  struct Release {
    CallState& state;
    ~Release() {
      for (mxArray* t : state.temporaries) plainarray::destroy(t);
      for (void* p : state.callocs) std::free(p);
    }
  } release{state};
  std::vector<mxArray*> plhs(static_cast<size_t>(nlhs > 0 ? nlhs : 1), nullptr);
  std::vector<const mxArray*> prhs(args);
  {
    CurrentCall current(state);
    result.failed =
        !runGatewayCaught(state, fn, nlhs, plhs.data(), static_cast<int>(prhs.size()), prhs.data());
  }
  result.message = state.message;
  result.warnings = std::move(state.warnings);
  result.results.reserve(static_cast<size_t>(nlhs > 0 ? nlhs : 0));
  for (int i = 0; i < nlhs; ++i) {  // the results only of a call that succeeded
    mxArray* r = plhs[static_cast<size_t>(i)];
    if (!result.failed && r && state.temporaries.erase(r))
      result.results.emplace_back(r);
    else
      result.results.emplace_back(nullptr);
  }
  // After the modules' exit handlers ran (a call from a finaliser at interpreter exit), the call's
  // module is ended again at once: a pulse's reset is written before the call returns.
  bool exited;
  {
    std::lock_guard<std::mutex> hold(g_exitLock);
    exited = g_exited;
  }
  if (exited) runExitHandler(module);
  return result;
}

namespace {
void (*takeHandler(int i))(void) {
  std::lock_guard<std::mutex> hold(g_exitLock);
  void (*h)(void) = g_exitHandlers[i];
  g_exitHandlers[i] = nullptr;
  return h;
}
}  // namespace

void runExitHandler(Module module) {
  void (*h)(void) = takeHandler(static_cast<int>(module));
  if (h) h();
}

void runExitHandlers() {
  {
    std::lock_guard<std::mutex> hold(g_exitLock);
    g_exited = true;
  }
  for (int i = 0; i < 4; ++i) runExitHandler(static_cast<Module>(i));
}

void failBookkeepingAt(long n) { g_failBookkeepingAt.store(n); }

size_t liveArrays() { return plainarray::live.load(); }

}  // namespace pyhost
