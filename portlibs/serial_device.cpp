// The serial device's life: see serial_device.h.
#include "serial_device.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#if defined(_WIN32) && !defined(CREATE_WAITABLE_TIMER_HIGH_RESOLUTION)
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#endif

namespace serialport {

namespace {

#if defined(_WIN32)
std::string systemReason(DWORD code);
#endif

// Holds a DeviceLock for a scope.
class Held {
 public:
  explicit Held(DeviceLock& l) : l_(l) { l_.lock(); }
  ~Held() { l_.unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  DeviceLock& l_;
};

std::string cutReport(uint8_t value, size_t taken, size_t n) {
  return "the device took no data for " + std::to_string(kWriteBoundMs) +
         " ms (its buffer is full); the command for " + std::to_string(value) + " was cut after " +
         std::to_string(taken) + " of its " + std::to_string(n) +
         " bytes, and its rest goes before anything else is written to the device";
}

std::string fullReport() {
  return "the device took no data for " + std::to_string(kWriteBoundMs) + " ms (its buffer is full)";
}

}  // namespace

SerialDevice::SerialDevice(const DeviceSettings& settings) : settings_(settings) {}

SerialDevice::~SerialDevice() {
  close(0);
#if defined(_WIN32)
  if (written_) CloseHandle(written_);
  if (bound_) CloseHandle(bound_);
#endif
}

size_t SerialDevice::message(uint8_t value, char* out, size_t size) const {
  if (!settings_.text) {
    out[0] = static_cast<char>(value);
    return 1;
  }
  int m = snprintf(out, size, settings_.format.c_str(), static_cast<int>(value));
  if (m < 0) return 0;
  return static_cast<size_t>(m) < size ? static_cast<size_t>(m) : size - 1;
}

bool SerialDevice::isOpen() {
  Held h(lock_);
  return openLocked();
}

void SerialDevice::send(uint8_t value) {
  Held h(lock_);
  sendLocked(value);
}

// Locked. Sends what is owed of a cut message without waiting; true once nothing is owed. A
// message withheld meanwhile is answered by the one for 0, so that the cut pulse ends.
bool SerialDevice::settleLocked() {
  if (rest_.empty()) return true;
  long taken = put(rest_.data(), rest_.size(), 0);
  if (taken < 0) return false;
  rest_.erase(0, static_cast<size_t>(taken));
  if (!rest_.empty()) return false;
  if (withheld_) {
    withheld_ = false;
    sendLocked(0);
  }
  return rest_.empty();
}

void SerialDevice::sendLocked(uint8_t value) {
  if (!openLocked() || gone_) {
    if (!rest_.empty()) withheld_ = true;
    return;
  }
  if (!rest_.empty()) {
    withheld_ = false;  // this message follows the rest, in place of the 0
    if (!settleLocked()) {
      withheld_ = true;
      return;
    }
  }
  char bytes[512];  // a template of up to 200 bytes and a width of up to 99
  const size_t n = message(value, bytes, sizeof bytes);
  if (n == 0) return;
  long taken = put(bytes, n, nowNs() + static_cast<int64_t>(kWriteBoundMs) * 1000000);
  if (taken < 0 || static_cast<size_t>(taken) == n) return;
  if (taken > 0) rest_.assign(bytes + taken, n - static_cast<size_t>(taken));
  if (failure_.empty()) failure_ = taken > 0 ? cutReport(value, static_cast<size_t>(taken), n) : fullReport();
}

bool SerialDevice::check(std::string* failure) {
  failure->clear();
#if defined(_WIN32)
  HANDLE closing = INVALID_HANDLE_VALUE;
#else
  int closing = -1;
#endif
  {
    Held h(lock_);
    if (openLocked() && !gone_) {
#if defined(_WIN32)
      DWORD errors;
      COMSTAT status;
      if (!ClearCommError(handle_, &errors, &status)) {
        gone_ = true;
        if (failure_.empty()) failure_ = "the device is gone: " + systemReason(GetLastError());
      } else if (status.cbInQue > 0) {
        PurgeComm(handle_, PURGE_RXCLEAR);  // replies are never read
      }
#else
      pollfd p{fd_, POLLIN | POLLOUT, 0};
      const bool ready = poll(&p, 1, 0) > 0;
      if (ready && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        gone_ = true;
        if (failure_.empty()) failure_ = "the device hung up (disconnected)";
      } else if (ready && (p.revents & POLLIN) != 0) {
        tcflush(fd_, TCIFLUSH);  // replies are never read
      }
#endif
      if (!gone_) settleLocked();
    }
    failure->swap(failure_);
    failure_.clear();
    if (gone_) {
      // It vanished: whatever it half read is gone with it.
      rest_.clear();
      withheld_ = false;
      gone_ = false;
#if defined(_WIN32)
      closing = handle_;
      handle_ = INVALID_HANDLE_VALUE;
#else
      closing = fd_;
      fd_ = -1;
#endif
    }
  }
#if defined(_WIN32)
  if (closing != INVALID_HANDLE_VALUE) {
    PurgeComm(closing, PURGE_TXCLEAR | PURGE_TXABORT);
    CloseHandle(closing);
  }
#else
  if (closing >= 0) {
    tcflush(closing, TCOFLUSH);  // a close with output queued would wait for the system's closing time
    ioctl(closing, TIOCNXCL);
    ::close(closing);
  }
#endif
  return failure->empty();
}

void SerialDevice::takeOver(SerialDevice& old) {
  Held mine(lock_);
  Held theirs(old.lock_);
#if defined(_WIN32)
  handle_ = old.handle_;
  old.handle_ = INVALID_HANDLE_VALUE;
  std::swap(written_, old.written_);
  std::swap(bound_, old.bound_);
#else
  fd_ = old.fd_;
  old.fd_ = -1;
#endif
  rest_.swap(old.rest_);
  withheld_ = old.withheld_;
  gone_ = old.gone_;
  failure_.swap(old.failure_);
  owedPort.store(old.owedPort.load());
  old.owedPort.store(-1);
}

// ---- the system-specific parts ------------------------------------------------------------
#if defined(_WIN32)

DeviceLock::DeviceLock() {}
DeviceLock::~DeviceLock() {}
void DeviceLock::lock() { AcquireSRWLockExclusive(&lock_); }
void DeviceLock::unlock() { ReleaseSRWLockExclusive(&lock_); }
void DeviceLock::resetInChild() { lock_ = SRWLOCK_INIT; }

int64_t nowNs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<int64_t>(static_cast<double>(now.QuadPart) * 1e9 /
                              static_cast<double>(frequency.QuadPart));
}

namespace {

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

}  // namespace

bool standardBaud(uint32_t baud) { return baud > 0; }

bool SerialDevice::openLocked() const { return handle_ != INVALID_HANDLE_VALUE; }

bool SerialDevice::open(std::string* reason, std::string* warning) {
  (void)warning;
  if (isOpen()) return true;
  // The event and the timer a write waits on, made once for the device's life. The timer is a
  // high-resolution one where the system has one; elsewhere it fires at the timer's tick.
  if (!written_) written_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!bound_)
    bound_ =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
  if (!bound_) bound_ = CreateWaitableTimerW(nullptr, FALSE, nullptr);
  if (!written_ || !bound_) {
    *reason = "cannot make its write's timer: " + systemReason(GetLastError());
    return false;
  }
  // No sharing: a device open elsewhere is refused ("Access is denied"), and no one else opens
  // it while it is open here.
  HANDLE h = CreateFileA(systemName(settings_.path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *reason = systemReason(code);
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      Held held(lock_);
      rest_.clear();  // it vanished; the box that comes back starts fresh
      withheld_ = false;
    }
    return false;
  }
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  bool ok = GetCommState(h, &dcb) != 0;
  if (ok) {
    dcb.BaudRate = static_cast<DWORD>(settings_.baud);
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
    // A write is cancelled at its bound (put); the driver's own timeout, which the system rounds
    // up to its timer's tick, only ends a write whose driver does not honour the cancel.
    t.WriteTotalTimeoutConstant = kCloseBoundMs;
    ok = SetCommTimeouts(h, &t) != 0;
  }
  if (!ok) {
    *reason = "cannot configure it: " + systemReason(GetLastError());
    CloseHandle(h);
    return false;
  }
  PurgeComm(h, PURGE_RXCLEAR);
  Held held(lock_);
  handle_ = h;
  return true;
}

namespace {

// One overlapped write to h, given until untilNs and then cancelled; what the driver took, or -1
// with the system's error in *code. A driver may hold any write until the device has the bytes,
// so "without waiting" (untilNs in the past) is one bound here. A cancelled write may have taken
// some of the bytes: its count is what the driver reports.
long boundedWrite(HANDLE h, HANDLE done, HANDLE timer, const char* bytes, size_t n, int64_t untilNs,
                  DWORD* error) {
  OVERLAPPED o;
  memset(&o, 0, sizeof o);
  o.hEvent = done;
  ResetEvent(done);
  DWORD written = 0;
  DWORD code = ERROR_SUCCESS;
  if (WriteFile(h, bytes, static_cast<DWORD>(n), nullptr, &o)) {
    if (GetOverlappedResult(h, &o, &written, FALSE)) return static_cast<long>(written);
    code = GetLastError();
  } else if ((code = GetLastError()) == ERROR_IO_PENDING) {
    const int64_t now = nowNs();
    const int64_t left = untilNs > now ? untilNs - now : static_cast<int64_t>(kWriteBoundMs) * 1000000;
    LARGE_INTEGER due;
    due.QuadPart = -((left + 99) / 100);  // relative, in units of 100 ns
    if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      const HANDLE either[2] = {done, timer};
      WaitForMultipleObjects(2, either, FALSE, INFINITE);
      CancelWaitableTimer(timer);
    } else {
      WaitForSingleObject(done, static_cast<DWORD>((left + 999999) / 1000000));
    }
    if (WaitForSingleObject(done, 0) != WAIT_OBJECT_0) CancelIoEx(h, &o);
    // Waits for the cancel to end the write; the count is the driver's, also after a cancel.
    if (GetOverlappedResult(h, &o, &written, TRUE)) return static_cast<long>(written);
    code = GetLastError();
    written = static_cast<DWORD>(o.InternalHigh);
  }
  if (code == ERROR_OPERATION_ABORTED || code == ERROR_TIMEOUT || code == ERROR_SEM_TIMEOUT ||
      code == WAIT_TIMEOUT)
    return static_cast<long>(written < n ? written : n);
  *error = code;
  return -1;
}

}  // namespace

// Locked: a write given until untilNs (boundedWrite).
long SerialDevice::put(const char* bytes, size_t n, int64_t untilNs) {
  DWORD code = ERROR_SUCCESS;
  const long taken = boundedWrite(handle_, written_, bound_, bytes, n, untilNs, &code);
  if (taken >= 0) return taken;
  if (failure_.empty()) failure_ = "write failed: " + systemReason(code);
  gone_ = true;
  return -1;
}

void SerialDevice::close(int64_t drainUntilNs) {
  HANDLE h;
  std::string rest;
  bool withheld;
  {
    Held held(lock_);
    h = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    rest.swap(rest_);
    withheld = withheld_;
    withheld_ = false;
  }
  if (h == INVALID_HANDLE_VALUE) return;
  // The rest of a cut command goes first, if the device takes it before the deadline, and the
  // box is then brought back to 0 when a message was held back behind it. The write's event
  // and timer are free: no send writes to a device that is not open.
  DWORD code = ERROR_SUCCESS;
  while (!rest.empty() && nowNs() < drainUntilNs) {
    const long taken = boundedWrite(h, written_, bound_, rest.data(), rest.size(), drainUntilNs, &code);
    if (taken < 0) break;
    rest.erase(0, static_cast<size_t>(taken));
    if (taken == 0) Sleep(1);
  }
  if (rest.empty() && withheld && nowNs() < drainUntilNs) {
    char bytes[512];
    const size_t n = message(0, bytes, sizeof bytes);
    boundedWrite(h, written_, bound_, bytes, n, drainUntilNs, &code);
  }
  // What the driver still holds leaves until the deadline; what is queued then is dropped, so
  // that the close does not wait for it.
  DWORD errors = 0;
  COMSTAT status;
  bool queued = true;
  while ((queued = ClearCommError(h, &errors, &status) && status.cbOutQue > 0) && nowNs() < drainUntilNs)
    Sleep(1);
  if (queued) PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
  CloseHandle(h);
}

#else

DeviceLock::DeviceLock() {}
DeviceLock::~DeviceLock() {}
void DeviceLock::lock() { pthread_mutex_lock(&lock_); }
void DeviceLock::unlock() { pthread_mutex_unlock(&lock_); }
void DeviceLock::resetInChild() { lock_ = PTHREAD_MUTEX_INITIALIZER; }

int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

namespace {

std::string systemReason(int code) {
  char text[256];
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  return strerror_r(code, text, sizeof text);
#else
  if (strerror_r(code, text, sizeof text) != 0) return "error " + std::to_string(code);
  return text;
#endif
}

speed_t speedOf(uint32_t baud) {
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

// The latency timer of a USB-serial adapter holds back what it receives from the device side
// for up to that many ms; for writes it delays the adapter's acknowledgements, and on many
// adapters the bytes themselves. A warning when it is above 1 ms.
void latencyWarning(const std::string& path, std::string* warning) {
#if defined(__linux__)
  char real[PATH_MAX];
  if (!realpath(path.c_str(), real)) return;
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
  *warning = "serialport: " + path + " is a USB-serial adapter whose latency timer is " + std::to_string(ms) +
             " ms: triggers may reach the box up to " + std::to_string(ms) +
             " ms late. Set it to 1 ms: echo 1 | sudo tee " + file +
             " (a udev rule keeps it; see the trigout documentation).";
#else
  (void)path;
  (void)warning;
#endif
}

}  // namespace

bool standardBaud(uint32_t baud) { return speedOf(baud) != B0; }

bool SerialDevice::openLocked() const { return fd_ >= 0; }

bool SerialDevice::open(std::string* reason, std::string* warning) {
  if (isOpen()) return true;
  int fd = ::open(settings_.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int code = errno;
    *reason = systemReason(code);
    if (code == EBUSY) *reason += " (another program has it open for itself)";
    if (code == ENOENT || code == ENODEV || code == ENXIO) {
      Held held(lock_);
      rest_.clear();  // it vanished; the box that comes back starts fresh
      withheld_ = false;
    }
    return false;
  }
  termios t;
  bool ok = isatty(fd) && tcgetattr(fd, &t) == 0;
  if (!ok) {
    *reason = errno == ENOTTY || !isatty(fd) ? "it is not a serial device (a terminal)" : systemReason(errno);
    ::close(fd);
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
  cfsetispeed(&t, speedOf(settings_.baud));
  cfsetospeed(&t, speedOf(settings_.baud));
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    *reason = "cannot configure it: " + systemReason(errno);
    ::close(fd);
    return false;
  }
  // No one else opens it while it is open here (but an administrator); released at the close.
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIFLUSH);  // what it sent before is no reply to us
  latencyWarning(settings_.path, warning);
  Held held(lock_);
  fd_ = fd;
  return true;
}

// Locked: a device that takes only part of the bytes, or nothing, gets the rest as room frees
// up, until untilNs.
long SerialDevice::put(const char* bytes, size_t n, int64_t untilNs) {
  size_t sent = 0;
  for (;;) {
    ssize_t done = write(fd_, bytes + sent, n - sent);
    if (done > 0) sent += static_cast<size_t>(done);
    if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      if (failure_.empty()) failure_ = "write failed: " + systemReason(errno);
      gone_ = true;
      return -1;
    }
    if (sent == n) return static_cast<long>(sent);
    const int64_t left = untilNs - nowNs();
    if (left <= 0) return static_cast<long>(sent);
    pollfd p{fd_, POLLOUT, 0};
    poll(&p, 1, static_cast<int>((left + 999999) / 1000000));
  }
}

void SerialDevice::close(int64_t drainUntilNs) {
  int fd;
  std::string rest;
  bool withheld;
  {
    Held held(lock_);
    fd = fd_;
    fd_ = -1;
    rest.swap(rest_);
    withheld = withheld_;
    withheld_ = false;
  }
  if (fd < 0) return;
  // The rest of a cut command goes first, if the device takes it before the deadline, and the
  // box is then brought back to 0 when a message was held back behind it.
  while (!rest.empty() && nowNs() < drainUntilNs) {
    ssize_t done = write(fd, rest.data(), rest.size());
    if (done > 0) rest.erase(0, static_cast<size_t>(done));
    if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (!rest.empty()) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 1);
    }
  }
  if (rest.empty() && withheld) {
    char bytes[512];
    const size_t n = message(0, bytes, sizeof bytes);
    (void)!write(fd, bytes, n);
  }
  // What was written leaves before the close, until the deadline; what is still queued then
  // is dropped, since close() itself would wait for it up to the port's closing time.
  int queued = 0;
  while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && nowNs() < drainUntilNs) {
    timespec ms{0, 1000000};
    nanosleep(&ms, nullptr);
  }
  if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued > 0) tcflush(fd, TCOFLUSH);
  ioctl(fd, TIOCNXCL);
  ::close(fd);
}

#endif

}  // namespace serialport
