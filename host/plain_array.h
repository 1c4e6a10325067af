// The array of the hosts that keep values as plain C++ data (the embedded host and the Python host):
// its layout, its making, reading and freeing, and the count of arrays alive. plain_host.cpp defines
// the operations of host/mexapi.h over it; each host's own builders use it too.
#ifndef EEGMEX_HOST_PLAIN_ARRAY_H
#define EEGMEX_HOST_PLAIN_ARRAY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "mexapi.h"
#include "mxelement.h"

struct mxArray_tag {
  mxClassID cls = mxDOUBLE_CLASS;
  bool isComplex = false;
  bool borrowed = false;  // re belongs to the caller (a target written in place)
  size_t m = 0, n = 0;
  void* re = nullptr;  // numeric, logical and char storage; column-major unless borrowed
  void* im = nullptr;
  int64_t rowStep = 1, columnStep = 0;  // of a borrowed target
  std::vector<std::string> fields;      // struct field names
  std::vector<mxArray*> items;          // struct: element-major, fields.size() per element; cell
};

namespace plainarray {

// Arrays made and not yet freed, for the hosts' leak checks.
inline std::atomic<size_t> live{0};

inline size_t elementSize(mxClassID cls) {
  switch (cls) {
    case mxDOUBLE_CLASS:
    case mxINT64_CLASS:
    case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS:
    case mxINT32_CLASS:
    case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS:
    case mxUINT16_CLASS:
    case mxCHAR_CLASS: return 2;
    case mxINT8_CLASS:
    case mxUINT8_CLASS:
    case mxLOGICAL_CLASS: return 1;
    default: return 0;
  }
}

// A new array; numeric storage zeroed unless `uninit`, a cell's items null. Null when memory runs out.
inline mxArray* make(mxClassID cls, size_t m, size_t n, bool isComplex = false, bool uninit = false) {
  mxArray* a = new (std::nothrow) mxArray_tag;
  if (!a) return nullptr;
  a->cls = cls;
  a->m = m;
  a->n = n;
  a->isComplex = isComplex;
  const size_t bytes = elementSize(cls) * m * n;
  if (bytes > 0) {
    a->re = uninit ? std::malloc(bytes) : std::calloc(bytes, 1);
    if (isComplex) a->im = std::calloc(bytes, 1);
    if (!a->re || (isComplex && !a->im)) {
      std::free(a->re);
      std::free(a->im);
      delete a;
      return nullptr;
    }
  }
  if (cls == mxCELL_CLASS) a->items.assign(m * n, nullptr);
  ++live;
  return a;
}

// Frees an array with everything it holds; a borrowed target's storage stays with its owner.
inline void destroy(mxArray* a) {
  if (!a) return;
  for (mxArray* item : a->items) destroy(item);
  if (!a->borrowed) std::free(a->re);
  std::free(a->im);
  delete a;
  --live;
}

// Appends a field to a struct, its value null in every element; false when the struct has it already.
inline bool appendField(mxArray* s, const char* name) {
  for (const std::string& f : s->fields)
    if (f == name) return false;
  const size_t oldCount = s->fields.size(), elements = s->m * s->n;
  std::vector<mxArray*> items(elements * (oldCount + 1), nullptr);
  for (size_t e = 0; e < elements; ++e)
    for (size_t f = 0; f < oldCount; ++f) items[e * (oldCount + 1) + f] = s->items[e * oldCount + f];
  s->items.swap(items);
  s->fields.push_back(name);
  return true;
}

// The index of field `name` of a struct, or -1.
inline int fieldNumber(const mxArray* s, const char* name) {
  for (size_t f = 0; f < s->fields.size(); ++f)
    if (s->fields[f] == name) return static_cast<int>(f);
  return -1;
}

// Puts `value` in item `slot` of a struct (element-major) or cell, freeing what was there.
inline void store(mxArray* a, size_t slot, mxArray* value) {
  destroy(a->items[slot]);
  a->items[slot] = value;
}

// Element i as a double: numeric classes by their value, logical as 0/1, char by its code.
inline double asDouble(const mxArray* a, size_t i) {
  switch (a->cls) {
    case mxLOGICAL_CLASS: return static_cast<const uint8_t*>(a->re)[i];
    case mxCHAR_CLASS: return static_cast<const mxChar*>(a->re)[i];
    default: return mxClassIsNumeric(a->cls) ? mxElementAsDouble(a->cls, a->re, i) : 0.0;
  }
}

// A 1 x n char array of the n bytes, one element each (0 x 0 when empty); null when memory runs out.
inline mxArray* text(const char* bytes, size_t n) {
  mxArray* a = make(mxCHAR_CLASS, n ? 1 : 0, n);
  if (a)
    for (size_t i = 0; i < n; ++i) static_cast<mxChar*>(a->re)[i] = static_cast<unsigned char>(bytes[i]);
  return a;
}

// A deep copy that owns all its storage.
inline mxArray* copy(const mxArray* a) {
  if (!a) return nullptr;
  mxArray* c = make(a->cls, a->m, a->n, a->isComplex, true);
  if (!c) return nullptr;
  const size_t bytes = elementSize(a->cls) * a->m * a->n;
  if (bytes) {
    std::memcpy(c->re, a->re, bytes);
    if (a->isComplex) std::memcpy(c->im, a->im, bytes);
  }
  c->fields = a->fields;
  c->items.resize(a->items.size());
  for (size_t i = 0; i < a->items.size(); ++i) c->items[i] = copy(a->items[i]);
  return c;
}

}  // namespace plainarray

#endif
