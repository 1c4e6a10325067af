#include "alloc_shim.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define ALLOCSHIM_OFF 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ALLOCSHIM_OFF 1
#endif

#ifndef ALLOCSHIM_OFF
#include <atomic>

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);

namespace {

std::atomic<uintptr_t> g_begin{0}, g_end{0};
std::atomic<size_t> g_count{0}, g_failAt{0};

bool failsHere(void* caller) {
  uintptr_t c = reinterpret_cast<uintptr_t>(caller);
  if (c < g_begin.load(std::memory_order_relaxed) || c >= g_end.load(std::memory_order_relaxed)) return false;
  size_t k = g_count.fetch_add(1) + 1;
  return k == g_failAt.load();
}

}  // namespace

extern "C" void* malloc(size_t n) {
  if (failsHere(__builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t size) {
  if (failsHere(__builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, size_t n) {
  if (failsHere(__builtin_return_address(0))) return errno = ENOMEM, nullptr;
  return __libc_realloc(p, n);
}

// The operator new family on the same C library heap (operator delete stays the library's free).
void* operator new(size_t n) {
  if (failsHere(__builtin_return_address(0))) throw std::bad_alloc();
  void* p = __libc_malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) {
  if (failsHere(__builtin_return_address(0))) throw std::bad_alloc();
  void* p = __libc_malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  if (failsHere(__builtin_return_address(0))) return nullptr;
  return __libc_malloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  if (failsHere(__builtin_return_address(0))) return nullptr;
  return __libc_malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace allocshim {

bool available() { return true; }

bool failAllocationIn(const std::string& objectPath, size_t n) {
  char real[4096];
  if (!realpath(objectPath.c_str(), real)) return false;
  uintptr_t begin = UINTPTR_MAX, end = 0;
  if (std::FILE* maps = std::fopen("/proc/self/maps", "r")) {
    char line[8192];
    while (std::fgets(line, sizeof line, maps)) {
      unsigned long lo, hi;
      char path[4096] = "";
      if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %4095s", &lo, &hi, path) == 3 &&
          std::strcmp(path, real) == 0) {
        if (lo < begin) begin = lo;
        if (hi > end) end = hi;
      }
    }
    std::fclose(maps);
  }
  if (end == 0) return false;
  g_failAt = 0;
  g_count = 0;
  g_begin = begin;
  g_end = end;
  g_failAt = n;
  return true;
}

void disarm() {
  g_begin = 0;
  g_end = 0;
  g_failAt = 0;
}

size_t counted() { return g_count.load(); }

}  // namespace allocshim

#else

namespace allocshim {
bool available() { return false; }
bool failAllocationIn(const std::string&, size_t) { return false; }
void disarm() {}
size_t counted() { return 0; }
}  // namespace allocshim

#endif
