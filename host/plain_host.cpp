// The host operations of host/mexapi.h over plain C++ arrays, once for the hosts that keep values
// so; each host adds the operations of plain_host.h.
#include "plain_host.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mxelement.h"
#include "plain_array.h"

// The embedded host exports the operations for the modules it loads; the Python extension keeps
// them to itself, with its gateways.
#if !defined(EEGMEX_PLAIN_HOST_EXPORT)
#define HOST_OPERATION extern "C"
#elif defined(_WIN32)
#define HOST_OPERATION extern "C" __declspec(dllexport)
#else
#define HOST_OPERATION extern "C" __attribute__((visibility("default")))
#endif

namespace {

size_t clampSize(int n) { return static_cast<size_t>(n < 0 ? 0 : n); }  // MATLAB treats negative sizes as 0

// The text as printf formats it, cut at 1023 bytes.
void formatText(char (&text)[1024], const char* format, va_list args) {
  text[0] = '\0';
  if (format) std::vsnprintf(text, sizeof text, format, args);
}

}  // namespace

// ---- libmex -------------------------------------------------------------------------------

HOST_OPERATION void mexErrMsgTxt(const char* text) { plainhost::raise(text); }

// The identifier is not kept: the plain hosts raise by the text.
HOST_OPERATION void mexErrMsgIdAndTxt(const char* id, const char* format, ...) {
  (void)id;
  char text[1024];
  va_list args;
  va_start(args, format);
  formatText(text, format, args);
  va_end(args);
  plainhost::raise(text);
}

HOST_OPERATION void mexWarnMsgTxt(const char* text) { plainhost::warn(nullptr, text); }

HOST_OPERATION void mexWarnMsgIdAndTxt(const char* id, const char* format, ...) {
  if (!format) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  formatText(text, format, args);
  va_end(args);
  plainhost::warn(id, text);
}

// ---- libmx --------------------------------------------------------------------------------

HOST_OPERATION bool mxIsStruct(const mxArray* a) { return a && a->cls == mxSTRUCT_CLASS; }
HOST_OPERATION bool mxIsNumeric(const mxArray* a) { return a && mxClassIsNumeric(a->cls); }
HOST_OPERATION bool mxIsChar(const mxArray* a) { return a && a->cls == mxCHAR_CLASS; }
HOST_OPERATION bool mxIsComplex(const mxArray* a) { return a && a->isComplex; }
HOST_OPERATION bool mxIsSparse(const mxArray*) { return false; }
HOST_OPERATION mxClassID mxGetClassID(const mxArray* a) { return a ? a->cls : mxUNKNOWN_CLASS; }

HOST_OPERATION int mxGetFieldNumber(const mxArray* s, const char* name) {
  return mxIsStruct(s) && name ? plainarray::fieldNumber(s, name) : -1;
}

HOST_OPERATION mxArray* mxGetField_700(const mxArray* s, int index, const char* name) {
  const int f = mxGetFieldNumber(s, name);
  if (f < 0 || index < 0 || static_cast<size_t>(index) >= s->m * s->n) return nullptr;
  return s->items[static_cast<size_t>(index) * s->fields.size() + static_cast<size_t>(f)];
}

HOST_OPERATION size_t mxGetM(const mxArray* a) { return a ? a->m : 0; }
HOST_OPERATION size_t mxGetN(const mxArray* a) { return a ? a->n : 0; }
HOST_OPERATION size_t mxGetNumberOfElements(const mxArray* a) { return a ? a->m * a->n : 0; }

HOST_OPERATION double mxGetScalar(const mxArray* a) {
  if (!a || a->m * a->n == 0 || !a->re) return 0.0;
  return plainarray::asDouble(a, 0);
}

// Like MATLAB: the real storage whatever the class (reading it as doubles is the caller's risk),
// and null for an empty array.
HOST_OPERATION double* mxGetPr(const mxArray* a) { return a ? static_cast<double*>(a->re) : nullptr; }
HOST_OPERATION void* mxGetData(const mxArray* a) { return a ? a->re : nullptr; }

// Each char element is one byte of the text (the plain hosts make them so); one beyond a byte
// becomes '?'.
HOST_OPERATION int mxGetString_700(const mxArray* a, char* buf, int size) {
  if (!buf || size <= 0) return 1;
  if (!a || a->cls != mxCHAR_CLASS) {
    buf[0] = '\0';
    return 1;
  }
  const size_t count = a->m * a->n, room = static_cast<size_t>(size) - 1;
  const size_t copied = count < room ? count : room;
  const mxChar* chars = static_cast<const mxChar*>(a->re);
  for (size_t i = 0; i < copied; ++i) buf[i] = static_cast<char>(chars[i] < 256 ? chars[i] : '?');
  buf[copied] = '\0';
  return copied < count ? 1 : 0;
}

HOST_OPERATION void* mxCalloc(size_t n, size_t size) {
  return plainhost::adoptBlock(std::calloc(n ? n : 1, size ? size : 1));
}

HOST_OPERATION void mxFree(void* p) {
  if (!p) return;
  plainhost::disownBlock(p);
  std::free(p);
}

HOST_OPERATION mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity) {
  return plainhost::adopt(
      plainarray::make(mxDOUBLE_CLASS, clampSize(m), clampSize(n), complexity == mxCOMPLEX));
}

HOST_OPERATION mxArray* mxCreateDoubleScalar(double value) {
  mxArray* a = mxCreateDoubleMatrix_700(1, 1, mxREAL);
  *static_cast<double*>(a->re) = value;
  return a;
}

HOST_OPERATION mxArray* mxCreateString(const char* text) {
  return plainhost::adopt(plainarray::text(text ? text : "", text ? std::strlen(text) : 0));
}

// Every field of every element starts unset (null), as in MATLAB.
HOST_OPERATION mxArray* mxCreateStructMatrix_700(int m, int n, int nfields, const char** fieldnames) {
  mxArray* a = plainhost::adopt(plainarray::make(mxSTRUCT_CLASS, clampSize(m), clampSize(n)));
  for (int f = 0; f < nfields; ++f) plainarray::appendField(a, fieldnames[f]);
  return a;
}

HOST_OPERATION void mxSetField_700(mxArray* s, int index, const char* name, mxArray* value) {
  const int field = mxGetFieldNumber(s, name);
  if (field < 0 || index < 0 || size_t(index) >= s->m * s->n) return;
  plainarray::store(s, size_t(index) * s->fields.size() + size_t(field), value);
  plainhost::disown(value);  // the struct owns it now
}

HOST_OPERATION mxArray* mxCreateCellMatrix_700(int m, int n) {
  return plainhost::adopt(plainarray::make(mxCELL_CLASS, clampSize(m), clampSize(n)));
}

HOST_OPERATION void mxSetCell_700(mxArray* a, int index, mxArray* value) {
  if (!a || a->cls != mxCELL_CLASS || index < 0 || size_t(index) >= a->m * a->n) return;
  plainarray::store(a, size_t(index), value);
  plainhost::disown(value);  // the cell array owns it now
}

#if defined(EEGMEX_HOST_UNINIT_MATRIX)
HOST_OPERATION mxArray* mxCreateUninitNumericMatrix(size_t m, size_t n, mxClassID classid,
                                                    mxComplexity complexity) {
  if (classid != mxDOUBLE_CLASS || complexity != mxREAL) return nullptr;
  mxArray* a = plainhost::adopt(plainarray::make(mxDOUBLE_CLASS, m, n, false, true));
  plainhost::leftUnset(static_cast<double*>(a->re), m * n);
  return a;
}
#endif
