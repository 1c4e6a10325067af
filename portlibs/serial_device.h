// One serial device with a trigger box behind it, from its open to its close: the whole contract
// of what the serial port library does to a device is here.
//
//  open    raw 8N1, no echo, no line editing, no flow control, no translation of bytes either
//          way, the modem lines left up at close (POSIX: HUPCL cleared); exclusive where the
//          system allows it (POSIX: TIOCEXCL, so that a second open by anyone but an
//          administrator fails with "busy"; Windows: no sharing). What the device sent before is
//          discarded. Nothing is written.
//  send    one message (the value as one byte, or the text template filled in), one write that
//          waits at most kWriteBoundMs for a device that takes nothing. Never blocks beyond that,
//          and never closes the device. (Windows: the write is cancelled at the bound, timed by a
//          high-resolution waitable timer where the system has one, Windows 10 1803 and later,
//          else by one of the timer's ticks; a driver may hold any write until the device has the
//          bytes, so there an owed rest is given its own bound too, before the message.)
//            A message the device took only part of is cut: its rest is owed, and nothing else
//          is written to the device until the rest has gone, so the box never reads two commands
//          run together as another code. The rest goes before the next message (or at the next
//          check); messages asked for while it is owed are withheld, and once it has gone the
//          box is brought back to 0 if a message was withheld, so a cut pulse ends at 0 and no
//          late non-zero code is ever sent. A message the device took nothing of was not sent;
//          later messages (its reset) go as usual, since 0 is never a wrong code.
//  check   on the calling thread: whether the device hung up, what failed since the last
//          check (the cut pulse named), the owed rest sent when the device takes data again,
//          and what the device sent discarded (replies are never read).
//  close   the owed rest of a cut command (then 0, if a message was withheld) and what is
//          queued are given until a deadline to leave, then dropped (so the close itself does
//          not wait for the system's closing time), exclusivity released, the device closed. A
//          device that took nothing until the deadline may be left holding part of a command.
//          A device is never closed and opened again while it lives (a reopen would not clear
//          the box's half-read command); only a device that vanished (hung up, a write error,
//          or not there at the next open) starts fresh.
//
// Locking: every member is safe on any thread; each device has its own lock, held only while
// its own state changes or for a send's bounded wait, never across a close or a drain.
#ifndef PORTLIBS_SERIAL_DEVICE_H
#define PORTLIBS_SERIAL_DEVICE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace serialport {

constexpr int kWriteBoundMs = 2;    // longest a send waits for a device that takes nothing
constexpr int kCloseBoundMs = 200;  // longest a close gives queued bytes to leave

// The monotonic clock in ns (the deadlines of close).
int64_t nowNs();

class DeviceLock {
 public:
  DeviceLock();
  ~DeviceLock();
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;
  void lock();
  void unlock();
  // In a child of fork() only: the lock unheld, whoever held it in the parent.
  void resetInChild();

 private:
#if defined(_WIN32)
  SRWLOCK lock_ = SRWLOCK_INIT;
#else
  pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
#endif
};

struct DeviceSettings {
  std::string path;  // the device's path, or COM name
  int port = -1;     // the address trigout names it by; -1: any address no other device names
  uint32_t baud = 115200;
  bool text = false;   // the text protocol: format filled in with the value
  std::string format;  // printf format with one integer conversion, escapes resolved
};

// Whether the system has a line speed of that many baud.
bool standardBaud(uint32_t baud);

class SerialDevice {
 public:
  explicit SerialDevice(const DeviceSettings& settings);
  ~SerialDevice();  // closes without a drain
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  const DeviceSettings& settings() const { return settings_; }
  bool isOpen();

  // Opens it when closed; the system's reason on failure, and a warning to give once (a
  // USB-serial adapter whose latency timer delays every byte) on success.
  bool open(std::string* reason, std::string* warning);

  // Sends the message for `value`.
  void send(uint8_t value);

  // Calling thread. False, with what went wrong since the last check, when a send failed or the
  // device hung up; a device that vanished is closed then (the next open finds it back).
  bool check(std::string* failure);

  // Closes it, giving queued bytes until `drainUntilNs` (0: no time) to leave.
  void close(int64_t drainUntilNs);

  // Takes over the open device, the owed rest and the failures of `old` (a device set again
  // with new settings but the same path and speed); `old` is left closed.
  void takeOver(SerialDevice& old);

  // The port whose reset this device is owed (it was sent a value other than 0 for it, and no 0
  // since), or -1. Kept by the library's Out32.
  std::atomic<int> owedPort{-1};

  // In a child of fork(), before anything else runs there: the lock of its state made fresh, as a
  // thread of the parent that held it is not in the child.
  void resetLockInChild() { lock_.resetInChild(); }

 private:
  size_t message(uint8_t value, char* out, size_t size) const;
  void sendLocked(uint8_t value);
  bool settleLocked();
  // Writes as much as the device takes, waiting for room until untilNs; -1 on an error (the
  // reason in failure_, and gone_ set).
  long put(const char* bytes, size_t n, int64_t untilNs);
  bool openLocked() const;

  DeviceSettings settings_;
  DeviceLock lock_;
#if defined(_WIN32)
  HANDLE handle_ = INVALID_HANDLE_VALUE;  // opened for overlapped writes, so that their wait is ours
  HANDLE written_ = nullptr;              // event: the write in progress has finished
  HANDLE bound_ = nullptr;                // waitable timer of its bound (high resolution where there is one)
#else
  int fd_ = -1;
#endif
  std::string rest_;       // the part of a cut message the device has not taken yet
  bool withheld_ = false;  // a message was withheld while rest_ was owed
  bool gone_ = false;      // the device vanished: closed at the next check
  std::string failure_;    // what went wrong since the last check (the first thing only)
};

}  // namespace serialport

#endif
