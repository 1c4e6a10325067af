// The Python host: the host operations of host/mexapi.h over plain C++ values, for the extension
// module `eegmex._eegmex`. Arguments are built from Python values while the interpreter lock is
// held; a call then runs a module's gateway without that lock, and its results are taken back as
// plain values. Calls on different threads run at once, each with its own call state: the host
// has no lock of its own around a call. What calls share is locked where it lives (each module's
// state, a stream cache, the exit handlers), so only calls that share state take turns; see
// object_lock.h.
//
// As in MATLAB, mexErrMsgTxt jumps back to `call` with longjmp: the gateways raise errors only where
// nothing of theirs is alive. A target written in place (`borrowedDoubles`) keeps the memory of the
// caller's array, with its own row and column steps; a result matrix's storage is plain malloc memory
// that `takeDoubles` hands over, so that numpy owns it without a copy.
#ifndef EEGMEX_HOST_PYTHON_PYHOST_H
#define EEGMEX_HOST_PYTHON_PYHOST_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "../mexapi.h"

namespace pyhost {

using MexFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct ArrayDeleter {
  void operator()(mxArray* a) const;
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Builders; numeric storage is column-major and starts zeroed. Null when memory runs out.
Array numeric(mxClassID cls, size_t m, size_t n, bool isComplex = false);
Array text(const std::string& bytes);  // 1 x N char (0 x 0 when empty), one element a byte
Array structArray(size_t m, size_t n);
Array cellArray(size_t m, size_t n);
// A real double m x n matrix over the caller's memory (not owned), element (i, j) at
// data[i * rowStep + j * columnStep].
Array borrowedDoubles(double* data, size_t m, size_t n, int64_t rowStep, int64_t columnStep);
void setField(mxArray* s, const char* name, Array value, size_t index = 0);
void setCell(mxArray* c, size_t index, Array value);

// Reading values back.
mxClassID classOf(const mxArray* a);
bool isComplexArray(const mxArray* a);
size_t rowsOf(const mxArray* a);
size_t columnsOf(const mxArray* a);
void* realData(mxArray* a);
void* imagData(mxArray* a);
std::string textOf(const mxArray* a);  // the bytes of a char array
const std::vector<std::string>& fieldNames(const mxArray* a);
const mxArray* fieldAt(const mxArray* s, size_t index, size_t field);
const mxArray* cellAt(const mxArray* c, size_t index);
size_t elementSize(mxClassID cls);
// Hands over the storage of an owned double matrix: the caller frees it with std::free. Null for an
// empty one.
double* takeDoubles(mxArray* a);

// The modules, each with its mexAtExit handler.
enum class Module { eegfetch = 0, formats = 1, trigout = 2, decimate = 3 };

struct CallResult {
  bool failed = false;
  std::string message;                                        // the text given to mexErrMsgTxt
  std::vector<std::pair<std::string, std::string>> warnings;  // identifier (may be empty) and text
  std::vector<Array> results;                                 // null where the module left a slot unset
};

// What a call sees of its caller besides the arguments.
struct CallContext {
  const std::string* ioLib = nullptr;  // mexGetVariable("global", "IO_LIB"); null: not set
  void* streams = nullptr;             // eegmexCallStreams()
  bool firstOutputUnused = false;      // eegmexOutputWanted(0) is 0
  // eegmexInterruptPending(): asked by a read between chunks, on the calling thread; null: never.
  int (*interrupted)() = nullptr;
};

// Runs a gateway as a host does; releases every array and mxCalloc block the call made and did not
// return, after an error or an exception too. Any thread may call, several at once. Once the exit
// handlers have run, the call's module is ended again right after the call (its handler runs).
CallResult call(Module module, MexFunction fn, int nlhs, const std::vector<const mxArray*>& args,
                const CallContext& context);
// Runs the handlers the modules registered with mexAtExit (once each); from then on every call is
// followed by its module's handler.
void runExitHandlers();
void runExitHandler(Module module);

// Tests only: the n-th entry of the calls' bookkeeping from now fails as if memory ran out (0: none).
void failBookkeepingAt(long n);

// Arrays alive now, for leak checks.
size_t liveArrays();

}  // namespace pyhost

#endif
