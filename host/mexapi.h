// The host operations the modules call, declared once for every host.
//
// Configurations:
//  EEGMEX_HOST_OCTAVE        : GNU Octave's MEX layer; its own mex.h (plain names, 64-bit mwSize)
//  MATLAB_MEX_FILE           : the user's own MATLAB through its `mex` command; MATLAB's mex.h
//  EEGMEX_HOST_OCTAVE_NATIVE : a native GNU Octave function (NAME.oct): the operations below are
//                              host/octave/native_host.cpp, linked into the module and hidden
//                              there; the class codes and mwSize are Octave's own (mxtypes.h)
//  (none of these)           : the MATLAB binary interface with the `_700` entry points and
//                              32-bit int sizes, declared here; used by the Windows builds and by
//                              the embedded host in host/embedded/.
//
// Modules call the plain names (mxGetField, mxGetString, mxCreateDoubleMatrix); in the last two
// configurations they resolve to the `_700` entry points, which take 32-bit int sizes.
//
// EEGMEX_HOST_UNINIT_MATRIX is defined where the host offers mxCreateUninitNumericMatrix, a new
// matrix whose elements are left unset for the module to write: the native Octave function (no
// zero fill, with Octave 7 or later) and the embedded host on POSIX systems (which fills it with a
// poison value, so that tests see any element left unwritten). Only mxDOUBLE_CLASS is implemented;
// other classes give null. Neither MEX layer nor the Windows builds use it: their import lists
// stay as they are.
//
// eegmexCreateStringCell(texts, n) makes a 1 x n cell of texts, in one step where the host can.
//
// eegmexCreateRecords(n, nfields, columns) makes a 1 x n struct array (0 x 0 with its fields when n is
// 0) from columns of plain data: field f of element i is columns[f].numbers[i] as a double scalar,
// or, where numbers is null, columns[f].texts[i] as a char row. The native Octave function makes
// it in one step from the columns; the Python host gives the columns themselves, as a 1 x 1 struct
// whose fields are 1 x n rows of numbers and 1 x n cells of texts (the package makes its dicts from
// them); elsewhere it is mxCreateStructMatrix and one mxSetField per element and field. At most
// EEGMEX_RECORD_FIELDS fields.
//
// eegmexSharedStorage(a) says whether the element storage of `a`, a field of a struct argument,
// is shared with any value other than that field (a variable, a constant in the caller's code,
// another field, a matrix it was cut from), so that a write into it changes that value too:
// 1 shared, 0 not, -1 the host cannot tell. Only the native Octave function can tell; everywhere
// else it is an inline -1, never an import.
//
// eegmexTargetSteps(a, &rowStep, &columnStep) gives the steps, in elements, between consecutive
// rows and consecutive columns of the storage of `a`, a real double matrix a module writes in place:
// (1, rows) for the column-major matrices of MATLAB, Octave and the embedded host, where it is an
// inline function; the Python host (EEGMEX_HOST_PYTHON) hands numpy arrays over as they lie, in
// any order. eegmexCallStreams() is the stream cache of online reads the caller holds for this
// call (an eeg::StreamCache), or null for the module's own: only the Python host, whose stream
// objects carry their own, gives one. eegmexOutputWanted(i) is 0 when the caller asked for output
// i + 1 only to reach a later one (the Python layer, which takes OPT.data itself and wants info), so
// that a module need not make it; 1 everywhere else.
//
// eegmexInterruptPending() is nonzero once the user has asked the host to stop the running command
// (Ctrl-C), for a long operation to stop at its next safe point and raise; it is asked between
// chunks of a read. EEGMEX_HOST_INTERRUPT is defined where the host offers such a check: the Python
// host (its signal handlers run, so Ctrl-C raises KeyboardInterrupt), the native Octave function and
// Octave's MEX layer (Octave's interrupt state), and MATLAB's own mex (utIsInterruptPending, found
// in MATLAB's process at load time; without it the check says no). The Windows builds and the
// embedded host have none.
#ifndef EEGMEX_HOST_MEXAPI_H
#define EEGMEX_HOST_MEXAPI_H

#include <stddef.h>

#define EEGMEX_RECORD_FIELDS 16

// One field of the records eegmexCreateRecords makes: numbers, or texts where numbers is null.
typedef struct {
  const char* name;
  const double* numbers;
  const char* const* texts;
} eegmexColumn;

#if defined(EEGMEX_HOST_OCTAVE) || defined(MATLAB_MEX_FILE)

#include <mex.h>

#else

#include <stddef.h>
#include <stdint.h>

#if defined(EEGMEX_HOST_OCTAVE_NATIVE)
#include <mxtypes.h>  // Octave's types only: mxClassID, mxComplexity, mwSize
// The host operations live in the module itself; hidden, so that Octave's own MEX functions of
// the same names are never bound instead.
#define EEGMEX_IMPORT __attribute__((visibility("hidden")))
#else
// Imports go through the import libraries' stubs; no dllimport is needed.
#define EEGMEX_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;

#if !defined(EEGMEX_HOST_OCTAVE_NATIVE)
typedef int mwSize;  // the `_700` interface counts in 32-bit int
typedef int mwIndex;
typedef uint16_t mxChar;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS,
  mxSTRUCT_CLASS,
  mxLOGICAL_CLASS,
  mxCHAR_CLASS,
  mxVOID_CLASS,
  mxDOUBLE_CLASS,
  mxSINGLE_CLASS,
  mxINT8_CLASS,
  mxUINT8_CLASS,
  mxINT16_CLASS,
  mxUINT16_CLASS,
  mxINT32_CLASS,
  mxUINT32_CLASS,
  mxINT64_CLASS,
  mxUINT64_CLASS,
  mxFUNCTION_CLASS
} mxClassID;

#endif

// libmex
EEGMEX_IMPORT void mexErrMsgTxt(const char* text);                              // does not return
EEGMEX_IMPORT void mexErrMsgIdAndTxt(const char* id, const char* format, ...);  // does not return
EEGMEX_IMPORT void mexWarnMsgTxt(const char* text);
EEGMEX_IMPORT void mexWarnMsgIdAndTxt(const char* id, const char* format, ...);
EEGMEX_IMPORT mxArray* mexGetVariable(const char* workspace, const char* name);
EEGMEX_IMPORT int mexAtExit(void (*handler)(void));

// libmx
EEGMEX_IMPORT bool mxIsStruct(const mxArray* a);
EEGMEX_IMPORT bool mxIsNumeric(const mxArray* a);
EEGMEX_IMPORT bool mxIsChar(const mxArray* a);
EEGMEX_IMPORT bool mxIsComplex(const mxArray* a);
EEGMEX_IMPORT bool mxIsSparse(const mxArray* a);
EEGMEX_IMPORT mxClassID mxGetClassID(const mxArray* a);
EEGMEX_IMPORT int mxGetFieldNumber(const mxArray* s, const char* name);
EEGMEX_IMPORT mxArray* mxGetField_700(const mxArray* s, int index, const char* name);
EEGMEX_IMPORT size_t mxGetM(const mxArray* a);
EEGMEX_IMPORT size_t mxGetN(const mxArray* a);
EEGMEX_IMPORT size_t mxGetNumberOfElements(const mxArray* a);
EEGMEX_IMPORT double mxGetScalar(const mxArray* a);
EEGMEX_IMPORT double* mxGetPr(const mxArray* a);
EEGMEX_IMPORT void* mxGetData(const mxArray* a);
EEGMEX_IMPORT int mxGetString_700(const mxArray* a, char* buf, int size);
EEGMEX_IMPORT void* mxCalloc(size_t n, size_t size);
EEGMEX_IMPORT void mxFree(void* p);
EEGMEX_IMPORT mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity);
EEGMEX_IMPORT mxArray* mxCreateDoubleScalar(double value);
EEGMEX_IMPORT mxArray* mxCreateString(const char* text);
EEGMEX_IMPORT mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames);
// Stores `value` (an array the module created, which the struct then owns) in field `name` of element
// `index`; a field the struct lacks is left alone.
EEGMEX_IMPORT void mxSetField_700(mxArray* s, int index, const char* name, mxArray* value);
EEGMEX_IMPORT mxArray* mxCreateCellMatrix_700(int m, int n);
// Stores `value` (an array the module created, which the cell array then owns) in element `index`.
EEGMEX_IMPORT void mxSetCell_700(mxArray* a, int index, mxArray* value);

#if defined(EEGMEX_HOST_OCTAVE_NATIVE) || !defined(_WIN32)
#define EEGMEX_HOST_UNINIT_MATRIX 1
EEGMEX_IMPORT mxArray* mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid,
                                                   mxComplexity complexity);
#endif

#if defined(EEGMEX_HOST_OCTAVE_NATIVE)
EEGMEX_IMPORT int eegmexSharedStorage(const mxArray* a);
EEGMEX_IMPORT mxArray* eegmexCreateStringCell(const char* const* texts, size_t n);
EEGMEX_IMPORT mxArray* eegmexCreateRecords(size_t n, int nfields, const eegmexColumn* columns);
#endif

#if defined(EEGMEX_HOST_PYTHON)
EEGMEX_IMPORT mxArray* eegmexCreateRecords(size_t n, int nfields, const eegmexColumn* columns);
EEGMEX_IMPORT void eegmexTargetSteps(const mxArray* a, int64_t* rowStep, int64_t* columnStep);
EEGMEX_IMPORT void* eegmexCallStreams(void);
EEGMEX_IMPORT int eegmexOutputWanted(int i);
#endif

#ifdef __cplusplus
}
#endif

#define mxGetField mxGetField_700
#define mxGetString mxGetString_700
#define mxCreateDoubleMatrix mxCreateDoubleMatrix_700
#define mxCreateStructMatrix mxCreateStructMatrix_700
#define mxSetField mxSetField_700
#define mxCreateCellMatrix mxCreateCellMatrix_700
#define mxSetCell mxSetCell_700

#endif

#if !defined(EEGMEX_HOST_OCTAVE_NATIVE)
static inline int eegmexSharedStorage(const mxArray* a) {
  (void)a;
  return -1;
}
#endif

#if !defined(EEGMEX_HOST_OCTAVE_NATIVE)
// A 1 x n cell of the n texts (each nul-terminated). The native Octave function makes it in one
// step; elsewhere it is the cell built element by element.
static inline mxArray* eegmexCreateStringCell(const char* const* texts, size_t n) {
  mxArray* cells = mxCreateCellMatrix(1, static_cast<mwSize>(n));
  for (size_t i = 0; i < n; ++i) mxSetCell(cells, static_cast<mwIndex>(i), mxCreateString(texts[i]));
  return cells;
}

#if !defined(EEGMEX_HOST_PYTHON)
// The records element by element, through the operations every host has.
static inline mxArray* eegmexCreateRecords(size_t n, int nfields, const eegmexColumn* columns) {
  const char* names[EEGMEX_RECORD_FIELDS];
  if (nfields < 0 || nfields > EEGMEX_RECORD_FIELDS) return NULL;
  for (int f = 0; f < nfields; ++f) names[f] = columns[f].name;
  mxArray* s = mxCreateStructMatrix(n ? 1 : 0, static_cast<mwSize>(n), nfields, names);
  for (size_t i = 0; i < n; ++i)
    for (int f = 0; f < nfields; ++f) {
      const eegmexColumn& c = columns[f];
      mxSetField(s, static_cast<mwIndex>(i), c.name,
                 c.numbers ? mxCreateDoubleScalar(c.numbers[i]) : mxCreateString(c.texts[i]));
    }
  return s;
}
#endif
#endif

#include <stddef.h>
#include <stdint.h>

#if defined(EEGMEX_HOST_PYTHON) || defined(EEGMEX_HOST_OCTAVE_NATIVE)
#define EEGMEX_HOST_INTERRUPT 1
#ifdef __cplusplus
extern "C"
#endif
    EEGMEX_IMPORT int
    eegmexInterruptPending(void);
#elif defined(EEGMEX_HOST_OCTAVE) && defined(__GNUC__) && !defined(_WIN32)
#define EEGMEX_HOST_INTERRUPT 1
#include <signal.h>
#ifdef __cplusplus
extern "C"
#endif
    __attribute__((weak)) sig_atomic_t octave_interrupt_state;  // Octave's quit.h: > 0 pending
static inline int eegmexInterruptPending(void) {
  return &octave_interrupt_state && octave_interrupt_state > 0;
}
#elif defined(MATLAB_MEX_FILE) && defined(__GNUC__) && !defined(_WIN32)
#define EEGMEX_HOST_INTERRUPT 1
#ifdef __cplusplus
extern "C"
#endif
    __attribute__((weak)) bool
    utIsInterruptPending(void);
static inline int eegmexInterruptPending(void) { return utIsInterruptPending && utIsInterruptPending(); }
#endif

#if !defined(EEGMEX_HOST_PYTHON)
static inline void eegmexTargetSteps(const mxArray* a, int64_t* rowStep, int64_t* columnStep) {
  *rowStep = 1;
  *columnStep = (int64_t)mxGetM(a);
}
static inline void* eegmexCallStreams(void) { return NULL; }
static inline int eegmexOutputWanted(int i) {
  (void)i;
  return 1;
}
#endif

// The one exported entry point of every module; a native Octave function exports its installer
// instead (host/octave/native_host.cpp) and keeps mexFunction to itself.
#if defined(EEGMEX_HOST_OCTAVE_NATIVE)
#define MEX_ENTRY extern "C" __attribute__((visibility("hidden")))
#elif defined(_WIN32)
#define MEX_ENTRY extern "C" __declspec(dllexport)
#else
#define MEX_ENTRY extern "C" __attribute__((visibility("default")))
#endif

#endif
