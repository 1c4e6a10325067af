// The embedded host: a small stand-in for MATLAB's array and MEX interface, used to run and test
// the modules without MATLAB. It provides the operations of host/mexapi.h (MATLAB's binary
// interface with the `_700` entry points) and the C++ API below, with which tests build
// arguments, set global variables, load a module and call its mexFunction.
//
// Like MATLAB's C API, mexErrMsgTxt jumps back to `call` with longjmp and unwinds nothing:
// a module that raises an error while it holds a file, a buffer or a C++ object leaks it, and
// the sanitizers and the counters below see the leak.
#ifndef EEGMEX_HOST_EMBEDDED_MEXHOST_H
#define EEGMEX_HOST_EMBEDDED_MEXHOST_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "../mexapi.h"

namespace mexhost {

using MexFunction = void (*)(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

struct ArrayDeleter {
  void operator()(mxArray* a) const;
};
// An array the caller owns.
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Builders. Values are given column-major and converted to the class exactly where they fit
// (integers saturate and round like MATLAB's conversion; logical takes value != 0).
Array doubleMatrix(size_t m, size_t n, const std::vector<double>& values = {});
Array rowVector(const std::vector<double>& values);
Array scalar(double v);
Array numeric(mxClassID cls, size_t m, size_t n, const std::vector<double>& values = {});
Array complexMatrix(size_t m, size_t n, const std::vector<double>& re, const std::vector<double>& im);
Array charArray(const std::string& text);       // 1 x N
Array charMatrix(size_t m, size_t n, const std::string& columnMajor);
Array structArray(size_t m = 1, size_t n = 1);  // no fields yet
Array cellArray(size_t m, size_t n);            // elements empty
// Adds the field when it is missing and stores `value` in element `index` (taking ownership).
void setField(mxArray* s, const char* name, Array value, size_t index = 0);
// Adds a field with an empty value in every element.
void addField(mxArray* s, const char* name);
Array duplicate(const mxArray* a);
std::vector<double> values(const mxArray* a);  // numeric contents as doubles, column-major

// Global workspace of the host; mexGetVariable("global", name) returns a copy.
void setGlobal(const std::string& name, const mxArray* value);
void clearGlobal(const std::string& name);
void clearGlobals();

struct CallResult {
  bool failed = false;
  std::string message;                // the text given to mexErrMsgTxt
  std::vector<std::string> warnings;  // texts given to mexWarnMsgTxt, in order
  std::vector<Array> results;         // plhs[0..nlhs-1]; null where the module left a slot unset
};

// Calls `fn` as the host would: results that the module created but did not return, mxCalloc
// storage and copies made by mexGetVariable are released when the call ends, also after an error.
CallResult call(MexFunction fn, int nlhs, const std::vector<const mxArray*>& args);

// A module loaded from a shared library (dlopen / LoadLibrary), as the host loads MEX files.
class Module {
 public:
  explicit Module(const std::string& path);  // aborts the test program when it cannot load
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  CallResult call(int nlhs, const std::vector<const mxArray*>& args);
  // Runs the handlers the module registered with mexAtExit, then unloads it (`clear NAME`).
  void unload();
  bool loaded() const { return handle_ != nullptr; }

 private:
  void* handle_ = nullptr;
  MexFunction entry_ = nullptr;
};

// Counters for leak checks across calls.
size_t liveArrays();    // arrays created and not yet destroyed, globals included
size_t liveCallocs();   // mxCalloc blocks not yet freed
// From the next host allocation on (mxCalloc, mxCreateDoubleMatrix, mxCreateUninitNumericMatrix,
// mexGetVariable copies), the allocation number `n` (1-based) fails with MATLAB's "Out of memory"
// error; 0 turns it off.
void failHostAllocation(size_t n);

}  // namespace mexhost

#endif
