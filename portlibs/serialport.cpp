// A port I/O library for trigger boxes seen as serial ports (USB CDC and USB-serial adapters,
// /dev/ttyACM0, /dev/ttyUSB0, COM3): Out32(port, value) sends the value to the device that
// `port` maps to, as one raw byte or as a short text command. What is done to a device, from its
// open to its close, is SerialDevice's contract (serial_device.h); this file maps ports to
// devices and keeps the exported entries.
//
// Configuration: one entry per device, separated by ';', each
// "<port>,<baud>,<protocol>,<device>,<template>", given by the export SerialportConfigure (the
// Python package) or else read from the environment variable EEGMEX_SERIALPORT (set by
// eegmex_serialport.m):
//  port      the address trigout's first argument names for this device, or '*' for any
//            address no other entry names
//  baud      the line speed, one of the system's standard rates
//  protocol  'byte' (the value as one raw byte) or 'text' (the template filled in)
//  device    the device's path or COM name, and template, a printf format with one integer
//            conversion (backslash escapes \n \r \t \\ resolved here), each as hexadecimal
//            byte pairs, so that no character of theirs is special; a NUL byte in either is
//            refused (a C string would end there)
// It is read only by the driver checks, which trigout makes on its calling thread on every call
// (never by Out32, which runs on trigout's timer thread too): a changed value is applied there.
// The number of devices has no limit.
//
// The driver checks: PortLibraryPortOpen(port) checks the one device a pulse to `port` goes to
// (opens it when it is not open, reports what failed on it since), so that a box that fails
// never refuses the pulses of another; IsInpOutDriverOpen, for callers without the port-aware
// check, checks every device. Either returns 0 with the reason, naming the device, as the text of
// PortLibraryMessage; when the device is open, that export gives a warning to show once (a
// USB-serial adapter whose latency timer delays every byte), or "".
//
// Resets owed to a device that is no longer the port's: a device sent a value other than 0 is
// owed that pulse's reset. When a new configuration points its port elsewhere, or drops it, the
// device stays open until it has its reset: the next write to that port gives it the 0 (the
// pulse's own reset, or, when a newer pulse comes first, at that moment, as a newer value ends
// an older one on one port), and a 0 that was owed there only is not sent to the new device.
//
// Locks: the table's lock is held to look devices up and to change the table, and by Out32 from
// its look-up to the end of its sends (each one bounded write), so that a configuration taken on
// meanwhile never moves a device away between the two: a value is written to the device its port
// named at the call (or the next check says why not), and a reset is never lost. A device's own
// lock is held only for its own state and a send's bounded wait (serial_device.h). A close, with
// its drain, runs under neither, so no other box's write ever waits for it.
//
// For tests: SERIALPORT_SYSFS_ROOT replaces /sys where the latency timers are read.
#include <stdlib.h>
#include <string.h>
#if !defined(_WIN32)
#include <pthread.h>
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serial_device.h"

#if defined(_WIN32)
#define SERIALPORT_EXPORT extern "C" __declspec(dllexport)
#if defined(__i386__) || defined(_M_IX86)
#define SERIALPORT_CALL __stdcall
#else
#define SERIALPORT_CALL
#endif
#else
#define SERIALPORT_EXPORT extern "C" __attribute__((visibility("default")))
#define SERIALPORT_CALL
#endif

namespace {

using serialport::DeviceSettings;
using serialport::SerialDevice;
using Device = std::shared_ptr<SerialDevice>;

serialport::DeviceLock g_table;  // guards g_devices and g_owing
std::vector<Device> g_devices;   // the configured devices
std::vector<Device> g_owing;     // devices no longer configured, still owed a reset
std::string g_applied;           // the configuration text g_devices came from (calling thread)
std::string g_message;           // PortLibraryMessage's text (calling thread)

// Holds a lock for a scope.
class Held {
 public:
  explicit Held(serialport::DeviceLock& l) : l_(l) { l_.lock(); }
  ~Held() { l_.unlock(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  serialport::DeviceLock& l_;
};

class TableHeld : public Held {
 public:
  TableHeld() : Held(g_table) {}
};

serialport::DeviceLock g_givenLock;  // guards g_given and g_wasGiven
std::string g_given;                 // the configuration SerialportConfigure gave
bool g_wasGiven = false;             // it gave one: the environment variable is not read

#if defined(_WIN32)
bool readEnvironment(std::string* out) {
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
#else
bool readEnvironment(std::string* out) {
  const char* v = getenv("EEGMEX_SERIALPORT");
  if (!v) return false;
  out->assign(v);
  return true;
}
#endif

// Calling thread. The configuration SerialportConfigure gave, or else the environment variable's.
bool readConfig(std::string* out) {
  {
    Held held(g_givenLock);
    if (g_wasGiven) {
      out->assign(g_given);
      return true;
    }
  }
  return readEnvironment(out);
}

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

// A decimal number up to max; read in 64 bits whatever the width of the target, so that a long
// number never wraps to a valid one.
bool toNumber(const std::string& s, uint32_t max, uint32_t* out) {
  if (s.empty() || s.size() > 10) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  *out = static_cast<uint32_t>(v);
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
bool parseConfig(const std::string& text, std::vector<DeviceSettings>* devices, std::string* reason) {
  devices->clear();
  if (text.empty()) return true;
  for (const std::string& entry : split(text, ';')) {
    std::vector<std::string> f = split(entry, ',');
    DeviceSettings d;
    uint32_t port = 0;
    std::string rawTemplate;
    if (f.size() != 5 || !(f[0] == "*" || toNumber(f[0], 65535, &port)) ||
        !toNumber(f[1], 4000000000u, &d.baud) || !fromHex(f[3], &d.path) || d.path.empty() ||
        !fromHex(f[4], &rawTemplate)) {
      *reason = "the setting EEGMEX_SERIALPORT is not valid (set it with eegmex_serialport)";
      return false;
    }
    d.port = f[0] == "*" ? -1 : static_cast<int>(port);
    // A C string ends at a NUL: the device opened would be another, the command sent cut.
    const size_t nul = d.path.find('\0');
    if (nul != std::string::npos) {
      *reason = "the device name holds a NUL byte (after \"" + d.path.substr(0, nul) + "\")";
      return false;
    }
    if (rawTemplate.find('\0') != std::string::npos) {
      *reason = d.path + ": the template holds a NUL byte";
      return false;
    }
    if (!serialport::standardBaud(d.baud)) {
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
    for (const DeviceSettings& other : *devices)
      if (other.port == d.port || other.path == d.path) {
        *reason = d.path + ": two devices for one port, or one device twice";
        return false;
      }
    devices->push_back(d);
  }
  return true;
}

// Closes the devices, all of them given queued bytes until one deadline. No lock held.
void closeAll(std::vector<Device>& devices) {
  const int64_t until = serialport::nowNs() + static_cast<int64_t>(serialport::kCloseBoundMs) * 1000000;
  for (Device& d : devices) d->close(until);
  devices.clear();
}

// Calling thread. Takes on a new configuration: a device set before keeps its open device when
// its path and speed stay the same; a dropped one still owed a reset waits for it, the others
// are closed (outside the table's lock).
void apply(const std::vector<DeviceSettings>& settings) {
  std::vector<Device> next, closing, owing;
  for (const DeviceSettings& s : settings) next.push_back(std::make_shared<SerialDevice>(s));
  {
    TableHeld held;
    // A device still owed a reset may be set again: it is taken over like a configured one (it
    // is open, and exclusively).
    std::vector<Device> old = g_devices;
    old.insert(old.end(), g_owing.begin(), g_owing.end());
    for (Device& o : old) {
      bool kept = false;
      for (Device& d : next)
        if (d->settings().path == o->settings().path && d->settings().baud == o->settings().baud) {
          d->takeOver(*o);
          kept = true;
        }
      if (!kept && o->owedPort.load() >= 0)
        owing.push_back(o);
      else
        closing.push_back(o);
    }
    g_devices.swap(next);
    g_owing.swap(owing);
  }
  closeAll(closing);
}

// Table locked. The device `port` maps to, or null.
SerialDevice* deviceFor(int port) {
  SerialDevice* any = nullptr;
  for (const Device& d : g_devices) {
    if (d->settings().port == port) return d.get();
    if (d->settings().port < 0) any = d.get();
  }
  return any;
}

// Calling thread. Closes the devices that were owed a reset and have had it.
void closeSettled() {
  std::vector<Device> closing;
  {
    TableHeld held;
    if (g_owing.empty()) return;
    std::vector<Device> still;
    for (Device& d : g_owing) (d->owedPort.load() >= 0 ? still : closing).push_back(d);
    g_owing.swap(still);
  }
  closeAll(closing);
}

// Calling thread. One device's check: its failure reported, or it opened when closed. Returns
// false with the message set, or adds a warning to *warnings.
bool checkDevice(SerialDevice& d, std::string* warnings) {
  std::string reason, warning;
  if (!d.check(&reason)) {
    g_message = "serialport: " + d.settings().path + ": " + reason;
    return false;
  }
  if (!d.open(&reason, &warning)) {
    g_message = "serialport: cannot open " + d.settings().path + ": " + reason;
    return false;
  }
  if (!warning.empty()) *warnings += (warnings->empty() ? "" : "\n") + warning;
  return true;
}

// Calling thread. The driver check: every device, or only the one for `port` (when >= 0).
int driverCheck(int port) {
  g_message.clear();
  static std::string config;  // kept, so that reading it again needs no allocation
  if (!readConfig(&config)) config.clear();
  if (config != g_applied) {
    std::vector<DeviceSettings> next;
    std::string reason;
    if (!parseConfig(config, &next, &reason)) {
      g_message = "serialport: " + reason;
      return 0;  // the old configuration stays until a valid one comes
    }
    apply(next);
    g_applied = config;
  }
  closeSettled();
  static std::vector<Device> devices;  // kept, so that a call needs no allocation (calling thread)
  devices.clear();
  {
    TableHeld held;
    if (port < 0) {
      devices = g_devices;
    } else if (SerialDevice* mapped = deviceFor(port)) {
      for (const Device& d : g_devices)
        if (d.get() == mapped) devices.push_back(d);
    }
    if (g_devices.empty()) {
      g_message = "serialport: no device is set; IO_LIB = eegmex_serialport(DEVICE) sets one";
      return 0;
    }
  }
  std::string warnings;
  int open = 1;
  // One failure a call; the devices after it are checked by the next.
  for (Device& d : devices)
    if (!checkDevice(*d, &warnings)) {
      open = 0;
      break;
    }
  if (open) g_message = warnings;
  devices.clear();  // holds no device past the call (one dropped later is freed with the table)
  return open;
}

#if !defined(_WIN32)
// A process forked while the timer thread was inside Out32 (or a driver check was taking a
// setting on) inherits the table's lock, or a device's, held by a thread it does not have: its
// first pulse would wait for ever. The child's handler makes them fresh. (Taking them before the
// fork instead would take them before the pulse module's own lock, against the order of a call,
// which takes the module's first.) The child keeps the devices open: its pulses go to the same
// boxes. The handler goes with the library when it is unloaded.
void forkChild() {
  g_givenLock.resetInChild();
  g_table.resetInChild();
  for (const std::vector<Device>* list : {&g_devices, &g_owing})
    for (const Device& d : *list) d->resetLockInChild();
}
struct ForkHandlers {
  ForkHandlers() { pthread_atfork(nullptr, nullptr, forkChild); }
} g_forkHandlers;
#endif

struct Unload {
  ~Unload() {
    std::vector<Device> closing;
    {
      TableHeld held;
      closing.swap(g_devices);
      closing.insert(closing.end(), g_owing.begin(), g_owing.end());
      g_owing.clear();
      g_applied.clear();  // an image mapped again starts as a fresh one
    }
    closeAll(closing);
  }
} g_unload;

}  // namespace

SERIALPORT_EXPORT void SERIALPORT_CALL Out32(short port, short value) {
  const int address = static_cast<uint16_t>(port);
  const uint8_t byte = static_cast<uint8_t>(value);
  // The look-up and the sends under the table's lock: a new configuration, taken on by the
  // calling thread meanwhile, never moves a device away between the two (the value would be
  // written to a device no longer open, and its reset lost). Each send is one bounded write.
  TableHeld held;
  SerialDevice* target = deviceFor(address);
  // The devices owed this port's reset but for the target: their pulse ends, by its own reset or
  // by a newer value on the port. However many there are, and without allocating.
  bool endedElsewhere = false;
  for (const std::vector<Device>* list : {&g_devices, &g_owing})
    for (const Device& d : *list)
      if (d.get() != target && d->owedPort.load() == address) {
        d->send(0);
        d->owedPort.store(-1);  // from now on the calling thread may close it
        endedElsewhere = true;
      }
  if (!target) return;
  // A 0 that was owed elsewhere only is not sent to a device that was never sent the pulse.
  if (byte == 0 && endedElsewhere && target->owedPort.load() != address) return;
  target->owedPort.store(byte != 0 ? address : -1);
  target->send(byte);
}

// Any thread. Gives the library its configuration, the text EEGMEX_SERIALPORT would hold (null:
// the environment variable again). From then on the environment is not read, so that a host whose
// threads may read the environment at any time (Python) never has to change it; the driver checks
// take the new configuration on at the next call, as they take on a changed environment variable.
SERIALPORT_EXPORT void SERIALPORT_CALL SerialportConfigure(const char* setting) {
  Held held(g_givenLock);
  try {
    g_given.assign(setting ? setting : "");
    g_wasGiven = setting != nullptr;
  } catch (...) {  // out of memory: the configuration stays as it was (no exception leaves a C entry)
  }
}

// Reads back nothing: a trigger box has no register to read.
SERIALPORT_EXPORT short SERIALPORT_CALL Inp32(short port) {
  (void)port;
  return 0;
}

// Calling thread only (trigout asks it on every call, on the host's thread). Every device.
SERIALPORT_EXPORT int SERIALPORT_CALL IsInpOutDriverOpen() { return driverCheck(-1); }

// Calling thread only, in place of IsInpOutDriverOpen: the device a pulse to `port` goes to.
SERIALPORT_EXPORT int SERIALPORT_CALL PortLibraryPortOpen(short port) {
  return driverCheck(static_cast<uint16_t>(port));
}

// Why the last driver check returned 0, naming the device; after one that returned nonzero, a
// warning to show once, or "". Valid until the next driver check.
SERIALPORT_EXPORT const char* SERIALPORT_CALL PortLibraryMessage() { return g_message.c_str(); }
