// A port I/O library for trigger boxes seen as serial ports (USB CDC and USB-serial adapters,
// /dev/ttyACM0, /dev/ttyUSB0, COM3): Out32(port, value) sends the value to the device that
// `port` maps to, as one raw byte or as a short text command.
//
// Configuration: the environment variable EEGMEX_SERIALPORT, set by eegmex_serialport.m, holds
// one entry per device, separated by ';', each "<port>,<baud>,<protocol>,<device>,<template>":
//  port      the address trigout's first argument names for this device, or '*' for any
//            address no other entry names
//  baud      the line speed, one of the system's standard rates
//  protocol  'byte' (the value as one raw byte) or 'text' (the template filled in)
//  device    the device's path or COM name, and template, a printf format with one integer
//            conversion (backslash escapes \n \r \t \\ resolved here), each as hexadecimal
//            byte pairs, so that no character of theirs is special
// It is read only by IsInpOutDriverOpen, which trigout calls on its calling thread on every call
// (never by Out32, which runs on trigout's timer thread too): a changed value is applied there.
//
// IsInpOutDriverOpen also opens each device that is not open (raw 8N1, no echo, no flow control,
// no translation; nothing is written; on POSIX the modem lines are left up at close, HUPCL
// cleared, so that a board that resets on them resets at most at the first open), and returns 0
// when a device cannot be opened, when one hung up, or when a write failed since the last call.
// The reason, naming the device, is then the text of the extra export PortLibraryMessage; when
// the devices are open, that export gives a warning to show once (a USB-serial adapter whose
// latency timer delays every byte), or "". A device that failed is closed once that is reported,
// and opened again by the next call that finds it back; writes in between are dropped.
//
// Writing: one write per message on a non-blocking descriptor, without waiting for the bytes
// to leave. A device that takes nothing keeps a write at most kWriteBoundMs; the write then
// counts as failed.
//
// At unload the bytes still queued for the devices are given up to kCloseBoundMs to leave
// before the devices are closed.
//
// For tests: SERIALPORT_SYSFS_ROOT replaces /sys where the latency timers are read.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#define SERIALPORT_EXPORT extern "C" __declspec(dllexport)
#if defined(__i386__) || defined(_M_IX86)
#define SERIALPORT_CALL __stdcall
#else
#define SERIALPORT_CALL
#endif
#else
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#define SERIALPORT_EXPORT extern "C" __attribute__((visibility("default")))
#define SERIALPORT_CALL
#endif

namespace {

constexpr int kWriteBoundMs = 2;    // longest a write waits for a device that takes nothing
constexpr int kCloseBoundMs = 200;  // longest the unload waits for queued bytes to leave

struct Device {
  std::string path;
  int port = -1;  // -1: any address no other device names
  unsigned long baud = 115200;
  bool text = false;
  std::string format;  // text protocol: the template, escapes resolved
#if defined(_WIN32)
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool isOpen() const { return handle != INVALID_HANDLE_VALUE; }
#else
  int fd = -1;
  bool isOpen() const { return fd >= 0; }
#endif
  std::string failure;  // why the last write failed; reported by the next IsInpOutDriverOpen
};

std::vector<Device> g_devices;  // guarded by the lock
std::string g_applied;          // the configuration text g_devices came from (calling thread)
std::string g_message;          // PortLibraryMessage's text (calling thread)

// ---- the system-specific parts ------------------------------------------------------------
#if defined(_WIN32)

SRWLOCK g_lock = SRWLOCK_INIT;
void lock() { AcquireSRWLockExclusive(&g_lock); }
void unlock() { ReleaseSRWLockExclusive(&g_lock); }

bool readConfig(std::string* out) {
  char small[1024];
  DWORD n = GetEnvironmentVariableA("EEGMEX_SERIALPORT", small, sizeof small);
  if (n == 0) return false;
  if (n < sizeof small) {
    out->assign(small, n);
    return true;
  }
  std::vector<char> big(n);
  DWORD m = GetEnvironmentVariableA("EEGMEX_SERIALPORT", big.data(), n);
  if (m == 0 || m >= n) return false;
  out->assign(big.data(), m);
  return true;
}

std::string systemReason(DWORD code) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ' || text[n - 1] == '.'))
    text[--n] = '\0';
  if (n == 0) return "system error " + std::to_string(code);
  return text;
}

// COM10 and above are reached only through \\.\; the prefix does no harm below.
std::string systemName(const std::string& path) {
  if (path.compare(0, 4, "\\\\.\\") == 0 || path.find('\\') != std::string::npos) return path;
  return "\\\\.\\" + path;
}

bool standardBaud(unsigned long baud) { return baud > 0; }

// Locked. Opens and configures the device; the reason on failure.
bool openDevice(Device& d, std::string* reason, std::string* warning) {
  (void)warning;
  HANDLE h = CreateFileA(systemName(d.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *reason = systemReason(GetLastError());
    return false;
  }
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  bool ok = GetCommState(h, &dcb) != 0;
  if (ok) {
    dcb.BaudRate = static_cast<DWORD>(d.baud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ok = SetCommState(h, &dcb) != 0;
  }
  if (ok) {
    COMMTIMEOUTS t;
    memset(&t, 0, sizeof t);
    t.ReadIntervalTimeout = MAXDWORD;  // reads (never made) would return at once
    t.WriteTotalTimeoutConstant = kWriteBoundMs;
    ok = SetCommTimeouts(h, &t) != 0;
  }
  if (!ok) {
    *reason = "cannot configure it: " + systemReason(GetLastError());
    CloseHandle(h);
    return false;
  }
  d.handle = h;
  return true;
}

// Locked. Whether the device is still there; the reason when not.
bool stillThere(Device& d, std::string* reason) {
  DWORD errors;
  COMSTAT status;
  if (ClearCommError(d.handle, &errors, &status)) return true;
  *reason = "the device is gone: " + systemReason(GetLastError());
  return false;
}

// Locked. One write of the message; the reason when it was not all taken.
bool writeMessage(Device& d, const char* bytes, size_t n, std::string* reason) {
  DWORD written = 0;
  if (!WriteFile(d.handle, bytes, static_cast<DWORD>(n), &written, nullptr)) {
    *reason = "write failed: " + systemReason(GetLastError());
    return false;
  }
  if (written < n) {
    *reason = "the device took no data for " + std::to_string(kWriteBoundMs) + " ms (its buffer is full)";
    return false;
  }
  return true;
}

void closeDevice(Device& d, bool drain) {
  (void)drain;  // a finished WriteFile has handed its bytes to the driver
  if (d.handle != INVALID_HANDLE_VALUE) CloseHandle(d.handle);
  d.handle = INVALID_HANDLE_VALUE;
}

#else

pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
void lock() { pthread_mutex_lock(&g_lock); }
void unlock() { pthread_mutex_unlock(&g_lock); }

bool readConfig(std::string* out) {
  const char* v = getenv("EEGMEX_SERIALPORT");
  if (!v) return false;
  out->assign(v);
  return true;
}

std::string systemReason(int code) {
  char text[256];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return strerror_r(code, text, sizeof text);
#else
  if (strerror_r(code, text, sizeof text) != 0) return "error " + std::to_string(code);
  return text;
#endif
}

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

speed_t speedOf(unsigned long baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#if defined(B460800)
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 2000000: return B2000000;
#endif
  }
  return B0;
}

bool standardBaud(unsigned long baud) { return speedOf(baud) != B0; }

// The latency timer of a USB-serial adapter holds back what it receives from the device side
// for up to that many ms; for writes it delays the adapter's acknowledgements, and on many
// adapters the bytes themselves. A warning when it is above 1 ms.
void latencyWarning(const Device& d, std::string* warning) {
#if defined(__linux__)
  char real[PATH_MAX];
  if (!realpath(d.path.c_str(), real)) return;
  const char* name = strrchr(real, '/');
  name = name ? name + 1 : real;
  const char* root = getenv("SERIALPORT_SYSFS_ROOT");
  std::string file =
      std::string(root && *root ? root : "/sys") + "/bus/usb-serial/devices/" + name + "/latency_timer";
  FILE* f = fopen(file.c_str(), "r");
  if (!f) return;
  int ms = 0;
  const bool read = fscanf(f, "%d", &ms) == 1;
  fclose(f);
  if (!read || ms <= 1) return;
  *warning = "serialport: " + d.path + " is a USB-serial adapter whose latency timer is " +
             std::to_string(ms) + " ms: triggers may reach the box up to " + std::to_string(ms) +
             " ms late. Set it to 1 ms: echo 1 | sudo tee " + file +
             " (a udev rule keeps it; see the trigout documentation).";
#else
  (void)d;
  (void)warning;
#endif
}

// Locked. Opens and configures the device; the reason on failure.
bool openDevice(Device& d, std::string* reason, std::string* warning) {
  int fd = open(d.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = systemReason(errno);
    return false;
  }
  termios t;
  bool ok = isatty(fd) && tcgetattr(fd, &t) == 0;
  if (!ok) {
    *reason = errno == ENOTTY || !isatty(fd) ? "it is not a serial device (a terminal)" : systemReason(errno);
    close(fd);
    return false;
  }
  cfmakeraw(&t);  // no echo, no line editing, no translation of bytes either way
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | HUPCL);
#if defined(CRTSCTS)
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speedOf(d.baud));
  cfsetospeed(&t, speedOf(d.baud));
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    *reason = "cannot configure it: " + systemReason(errno);
    close(fd);
    return false;
  }
  d.fd = fd;
  latencyWarning(d, warning);
  return true;
}

// Locked. Whether the device is still there (a pulled cable hangs the terminal up).
bool stillThere(Device& d, std::string* reason) {
  pollfd p{d.fd, POLLOUT, 0};
  if (poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return true;
  *reason = "the device hung up (disconnected)";
  return false;
}

// Locked. One write of the message; a device that takes only part of it, or nothing, gets the
// rest as room frees up, until kWriteBoundMs have passed.
bool writeMessage(Device& d, const char* bytes, size_t n, std::string* reason) {
  ssize_t done = write(d.fd, bytes, n);
  if (done == static_cast<ssize_t>(n)) return true;
  const int64_t until = nowNs() + static_cast<int64_t>(kWriteBoundMs) * 1000000;
  size_t sent = done > 0 ? static_cast<size_t>(done) : 0;
  for (;;) {
    if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      *reason = "write failed: " + systemReason(errno);
      return false;
    }
    if (sent == n) return true;
    const int64_t left = until - nowNs();
    if (left <= 0) break;
    pollfd p{d.fd, POLLOUT, 0};
    poll(&p, 1, static_cast<int>((left + 999999) / 1000000));
    done = write(d.fd, bytes + sent, n - sent);
    if (done > 0) sent += static_cast<size_t>(done);
  }
  *reason = "the device took no data for " + std::to_string(kWriteBoundMs) + " ms (its buffer is full)";
  return false;
}

void closeDevice(Device& d, bool drain) {
  if (d.fd < 0) return;
  if (drain) {
    // What was written leaves before the close, for at most kCloseBoundMs.
    for (int waited = 0; waited < kCloseBoundMs; ++waited) {
      int queued = 0;
      if (ioctl(d.fd, TIOCOUTQ, &queued) != 0 || queued <= 0) break;
      timespec ms{0, 1000000};
      nanosleep(&ms, nullptr);
    }
  }
  close(d.fd);
  d.fd = -1;
}

#endif
// ---------------------------------------------------------------------------------------------

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool fromHex(const std::string& hex, std::string* out) {
  if (hex.size() % 2) return false;
  out->clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int hi = hexDigit(hex[i]), lo = hexDigit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t end = s.find(sep, start);
    parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool toNumber(const std::string& s, unsigned long max, unsigned long* out) {
  if (s.empty() || s.size() > 10) return false;
  unsigned long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned long>(c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

// Resolves the backslash escapes and checks that the template holds exactly one integer
// conversion (flags, width, then d i u x X o or c) besides %% and fits a message.
bool checkTemplate(const std::string& in, std::string* out) {
  out->clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '\\' && i + 1 < in.size()) {
      char e = in[++i];
      c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e == '\\' ? '\\' : '\0';
      if (c == '\0') {
        out->push_back('\\');
        c = e;
      }
    }
    out->push_back(c);
  }
  int conversions = 0;
  for (size_t i = 0; i < out->size(); ++i) {
    if ((*out)[i] != '%') continue;
    if (++i < out->size() && (*out)[i] == '%') continue;
    while (i < out->size() && strchr("-+ 0#", (*out)[i])) ++i;
    for (int width = 0; i < out->size() && (*out)[i] >= '0' && (*out)[i] <= '9'; ++i)
      if (++width > 2) return false;
    if (i >= out->size() || !strchr("diuxXoc", (*out)[i])) return false;
    ++conversions;
  }
  return conversions == 1 && out->size() <= 200;
}

// Parses the configuration; the reason when it is not valid.
bool parseConfig(const std::string& text, std::vector<Device>* devices, std::string* reason) {
  devices->clear();
  if (text.empty()) return true;
  for (const std::string& entry : split(text, ';')) {
    std::vector<std::string> f = split(entry, ',');
    Device d;
    unsigned long port = 0;
    std::string protocol, rawTemplate;
    if (f.size() != 5 || !(f[0] == "*" || toNumber(f[0], 65535, &port)) ||
        !toNumber(f[1], 4000000000ul, &d.baud) || !fromHex(f[3], &d.path) || d.path.empty() ||
        !fromHex(f[4], &rawTemplate)) {
      *reason = "the setting EEGMEX_SERIALPORT is not valid (set it with eegmex_serialport)";
      return false;
    }
    d.port = f[0] == "*" ? -1 : static_cast<int>(port);
    if (!standardBaud(d.baud)) {
      *reason = d.path + ": " + f[1] + " baud is not a rate this system supports";
      return false;
    }
    if (f[2] != "byte" && f[2] != "text") {
      *reason = d.path + ": the protocol must be byte or text";
      return false;
    }
    d.text = f[2] == "text";
    if (d.text && !checkTemplate(rawTemplate, &d.format)) {
      *reason = d.path + ": the template must hold one integer conversion such as %d";
      return false;
    }
    for (const Device& other : *devices)
      if (other.port == d.port || other.path == d.path) {
        *reason = d.path + ": two devices for one port, or one device twice";
        return false;
      }
    devices->push_back(d);
  }
  return true;
}

// Locked. Takes on a new configuration: a device configured before keeps its open descriptor
// when its path and speed stay the same; the others are closed.
void apply(std::vector<Device>& next) {
  for (Device& old : g_devices) {
    for (Device& d : next)
      if (d.path == old.path && d.baud == old.baud && old.isOpen()) {
#if defined(_WIN32)
        d.handle = old.handle;
        old.handle = INVALID_HANDLE_VALUE;
#else
        d.fd = old.fd;
        old.fd = -1;
#endif
        d.failure = old.failure;
      }
    closeDevice(old, true);
  }
  g_devices.swap(next);
}

// Locked. The device `port` maps to, or null.
Device* deviceFor(unsigned port) {
  Device* any = nullptr;
  for (Device& d : g_devices) {
    if (d.port == static_cast<int>(port)) return &d;
    if (d.port < 0) any = &d;
  }
  return any;
}

struct Unload {
  ~Unload() {
    lock();
    for (Device& d : g_devices) closeDevice(d, true);
    g_devices.clear();
    g_applied.clear();  // an image mapped again starts as a fresh one
    unlock();
  }
} g_unload;

}  // namespace

SERIALPORT_EXPORT void SERIALPORT_CALL Out32(short port, short value) {
  lock();
  Device* d = deviceFor(static_cast<uint16_t>(port));
  // A device that failed is closed once the failure was reported: its writes are dropped until
  // a call opens it again.
  if (d && d->isOpen()) {
    char message[512];  // a template of up to 200 bytes and a width of up to 99
    size_t n = 1;
    message[0] = static_cast<char>(static_cast<uint8_t>(value));
    if (d->text) {
      int m =
          snprintf(message, sizeof message, d->format.c_str(), static_cast<int>(static_cast<uint8_t>(value)));
      n = m < 0 ? 0 : static_cast<size_t>(m) < sizeof message ? static_cast<size_t>(m) : sizeof message - 1;
    }
    std::string reason;
    if (n > 0 && !writeMessage(*d, message, n, &reason) && d->failure.empty()) d->failure = reason;
  }
  unlock();
}

// Reads back nothing: a trigger box has no register to read.
SERIALPORT_EXPORT short SERIALPORT_CALL Inp32(short port) {
  (void)port;
  return 0;
}

// Calling thread only (trigout asks it on every call, on the host's thread).
SERIALPORT_EXPORT int SERIALPORT_CALL IsInpOutDriverOpen() {
  g_message.clear();
  static std::string config;  // kept, so that reading it again needs no allocation
  if (!readConfig(&config)) config.clear();
  lock();
  int open = 1;
  if (config != g_applied) {
    std::vector<Device> next;
    std::string reason;
    if (!parseConfig(config, &next, &reason)) {
      g_message = "serialport: " + reason;
      unlock();
      return 0;  // the old configuration stays until a valid one comes
    }
    apply(next);
    g_applied = config;
  }
  if (g_devices.empty()) {
    g_message = "serialport: no device is set; IO_LIB = eegmex_serialport(DEVICE) sets one";
    open = 0;
  }
  std::string warnings;
  for (Device& d : g_devices) {
    std::string reason, warning;
    if (d.isOpen() && d.failure.empty() && !stillThere(d, &reason)) d.failure = reason;
    if (!d.failure.empty()) {
      if (open) {  // one failure a call; another device's waits for the next
        g_message = "serialport: " + d.path + ": " + d.failure;
        d.failure.clear();
        closeDevice(d, false);
      }
      open = 0;
      continue;
    }
    if (!d.isOpen() && !openDevice(d, &reason, &warning)) {
      if (open) g_message = "serialport: cannot open " + d.path + ": " + reason;
      open = 0;
      continue;
    }
    if (!warning.empty()) warnings += (warnings.empty() ? "" : "\n") + warning;
  }
  if (open) g_message = warnings;
  unlock();
  return open;
}

// Why the last IsInpOutDriverOpen returned 0, naming the device; after one that returned
// nonzero, a warning to show once, or "". Valid until the next IsInpOutDriverOpen.
SERIALPORT_EXPORT const char* SERIALPORT_CALL PortLibraryMessage() { return g_message.c_str(); }
