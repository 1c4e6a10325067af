// trigout through the Windows build of the serial port library, to a COM port that wine maps to a
// pseudo-terminal (scripts/test-windows.sh links dosdevices/com5 to it). The pty's far end
// (tests/octave/pty_far_end.py) appends "<ns> <byte>" lines to a file as bytes arrive: every value
// arrives as its one byte or as its text, then the reset, and the widths on the far end's clock
// stay within generous bounds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "../trigout/serial_setting.h"
#include "harness.h"
#include "mexhost.h"

namespace harness {

namespace {

using mexhost::Array;

struct Arrival {
  int64_t ns;
  unsigned byte;
};

std::vector<Arrival> arrivals(const std::string& path) {
  std::vector<Arrival> out;
  std::vector<unsigned char> bytes;
  if (!readFile(path, bytes)) return out;
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  long long ns;
  unsigned byte;
  while (in >> ns >> byte) out.push_back({ns, byte});
  return out;
}

std::vector<Arrival> await(const std::string& path, size_t n) {
  std::vector<Arrival> a = arrivals(path);
  for (unsigned waited = 0; waited < 3000 && a.size() < n; waited += 2) {
    sleepMs(2);
    a = arrivals(path);
  }
  return a;
}

std::string env(const char* name) {
  char value[1024];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

mexhost::CallResult pulse(mexhost::Module& trigout, double port, double value, double duration) {
  Array p = mexhost::scalar(port), v = mexhost::scalar(value), d = mexhost::scalar(duration);
  return trigout.call(0, {p.get(), v.get(), d.get()});
}

}  // namespace

void serialSuite(const Paths& paths) {
  const std::string com = env("EEGMEX_TEST_COM"), farLog = env("EEGMEX_TEST_COM_LOG");
  if (com.empty() || farLog.empty()) return;  // test-windows.sh says when it runs no far end
  mexhost::setGlobal("IO_LIB", mexhost::charArray(paths.build + "\\portlibs\\serialport.dll").get());
  SetEnvironmentVariableA("EEGMEX_SERIALPORT", ("*,115200,byte," + hex(com) + "," + hex("%d\\n")).c_str());
  {
    mexhost::Module trigout(paths.build + "\\trigout" + paths.suffix);
    std::string failed;
    size_t seen = arrivals(farLog).size();
    for (int v = 0; v < 256 && failed.empty(); ++v) {
      mexhost::CallResult r = pulse(trigout, 888, v, 1);
      if (r.failed) failed = "value " + std::to_string(v) + ": " + r.message;
      await(farLog, seen + 2 * static_cast<size_t>(v) + 2);
    }
    std::vector<Arrival> a = arrivals(farLog);
    std::string wrong;
    if (a.size() != seen + 512) wrong = std::to_string(a.size() - seen) + " bytes arrived, not 512";
    for (size_t v = 0; wrong.empty() && v < 256; ++v)
      if (a[seen + 2 * v].byte != v || a[seen + 2 * v + 1].byte != 0)
        wrong = "value " + std::to_string(v) + " arrived as " + std::to_string(a[seen + 2 * v].byte) + " " +
                std::to_string(a[seen + 2 * v + 1].byte);
    check(failed.empty() && wrong.empty(),
          "serialport " + com + ": each byte 0..255 arrives as itself, then 0", failed + wrong);

    // Widths on the far end's clock: the reset never comes sooner than the duration after the
    // call, and not very much later than its value's byte.
    seen = a.size();
    std::string late;
    for (int i = 0; i < 10; ++i) {
      const int64_t before = nowNs();
      mexhost::CallResult r = pulse(trigout, 888, 1 + i, 20);
      const int64_t callNs = nowNs() - before;
      std::vector<Arrival> w = await(farLog, seen + 2);
      if (r.failed || w.size() != seen + 2) {
        late += "pulse " + std::to_string(i) + " did not arrive whole; ";
        break;
      }
      const double widthMs = (w[seen + 1].ns - w[seen].ns) / 1e6;
      if (callNs > 100000000 || widthMs > 520)
        late += "call " + std::to_string(callNs / 1000) + " us, width " + std::to_string(widthMs) + " ms; ";
      seen = w.size();
    }
    check(late.empty(), "serialport " + com + ": 20 ms pulses: calls return at once, widths within bounds",
          late);

    // The text protocol, from a new setting taken on at the next call.
    SetEnvironmentVariableA("EEGMEX_SERIALPORT",
                            ("*,9600,text," + hex(com) + "," + hex("WRITE %d\\n")).c_str());
    mexhost::CallResult r1 = pulse(trigout, 888, 200, 1);
    await(farLog, seen + 16);
    mexhost::CallResult r2 = pulse(trigout, 888, 7, 1);
    std::vector<Arrival> t = await(farLog, seen + 30);
    std::string text;
    for (size_t i = seen; i < t.size(); ++i) text.push_back(static_cast<char>(t[i].byte));
    check(!r1.failed && !r2.failed && text == "WRITE 200\nWRITE 0\nWRITE 7\nWRITE 0\n",
          "serialport " + com + ": the text protocol sends the template filled in",
          r1.message + r2.message + text);

    // A box that takes no data (the far end holds its reads): the pty's buffer fills, writes are
    // given up at the bound and a command may be cut. Once the box reads again, what arrived is
    // whole commands only, the cut one's rest included, and the next pulse follows them.
    const std::string hold = env("EEGMEX_TEST_COM_HOLD");
    if (!hold.empty()) {
      seen = t.size();
      std::string full, stalled;
      FILE* f = std::fopen(hold.c_str(), "wb");
      if (f) std::fclose(f);
      int calls = 0;
      for (int after = 0; calls < 20000 && after < 20; ++calls) {
        mexhost::CallResult r = pulse(trigout, 888, 100 + calls % 150, 0);
        if (r.failed && full.empty()) full = r.message;
        if (!full.empty()) ++after;
      }
      DeleteFileA(hold.c_str());
      for (size_t before = 0, now = arrivals(farLog).size(); now != before; now = arrivals(farLog).size()) {
        before = now;
        sleepMs(200);
      }
      mexhost::CallResult r3 = pulse(trigout, 888, 0, 0);  // the owed rest goes, then 0
      mexhost::CallResult r4 = pulse(trigout, 888, 7, 1);
      sleepMs(200);
      std::vector<Arrival> w = arrivals(farLog);
      std::string got;
      for (size_t i = seen; i < w.size(); ++i) got.push_back(static_cast<char>(w[i].byte));
      std::istringstream lines(got);
      std::string line, wrong;
      size_t count = 0;
      while (std::getline(lines, line) && wrong.empty()) {
        ++count;
        int v = -1;
        char rest = 0;
        if (std::sscanf(line.c_str(), "WRITE %d%c", &v, &rest) != 1 || v < 0 || v > 255)
          wrong = "'" + line + "'";
      }
      const bool ended = got.size() >= 16 && got.compare(got.size() - 16, 16, "WRITE 7\nWRITE 0\n") == 0;
      check(full.find("the device took no data for 2 ms") != std::string::npos && wrong.empty() && ended,
            "serialport " + com +
                ": a box that takes no data: writes end at the bound, then whole commands only",
            "after " + std::to_string(calls) + " calls, report '" + full + "', " + std::to_string(count) +
                " lines, wrong line " + wrong + (ended ? "" : ", not ended by the next pulse") + r3.message +
                r4.message);
    }

    // Closed while a cut command's rest is owed (the box reads again meanwhile): the close gives
    // the rest its time, then the 0 for the pulses withheld behind it, so that the box holds whole
    // commands only and ends at 0, as on the other systems.
    if (!hold.empty()) {
      // Whether the last command that fits the pty's buffer is cut depends on the room left:
      // commands of 8 to 10 bytes in another order each round, until one is cut.
      std::string cut;
      int calls = 0;
      for (int round = 0; round < 10 && cut.empty(); ++round) {
        seen = arrivals(farLog).size();
        FILE* f = std::fopen(hold.c_str(), "wb");
        if (f) std::fclose(f);
        bool full = false;
        for (int i = 0; i < 20000 && !full; ++i, ++calls) {
          mexhost::CallResult r = pulse(trigout, 888, (i * 37 + round * 11) % 256, 0);
          full = r.failed;
          if (r.message.find("was cut after") != std::string::npos) cut = r.message;
        }
        if (!cut.empty()) break;
        // The box reads again, and what may still be owed (a cut hidden behind an earlier
        // report) goes with the next pulse; the next round starts once all has arrived.
        DeleteFileA(hold.c_str());
        sleepMs(50);
        pulse(trigout, 888, 0, 0);
        for (size_t before = 0, now = arrivals(farLog).size(); now != before; now = arrivals(farLog).size()) {
          before = now;
          sleepMs(200);
        }
      }
      for (int i = 0; i < 5; ++i) pulse(trigout, 888, 1 + i, 0);  // withheld behind the rest
      DeleteFileA(hold.c_str());
      trigout.unload();
      for (size_t before = 0, now = arrivals(farLog).size(); now != before; now = arrivals(farLog).size()) {
        before = now;
        sleepMs(200);
      }
      std::vector<Arrival> w = arrivals(farLog);
      std::string got;
      for (size_t i = seen; i < w.size(); ++i) got.push_back(static_cast<char>(w[i].byte));
      std::istringstream lines(got);
      std::string line, wrong;
      while (std::getline(lines, line) && wrong.empty()) {
        int v = -1;
        char rest = 0;
        if (std::sscanf(line.c_str(), "WRITE %d%c", &v, &rest) != 1 || v < 0 || v > 255)
          wrong = "'" + line + "'";
      }
      const bool ended = got.size() >= 8 && got.compare(got.size() - 8, 8, "WRITE 0\n") == 0;
      check(!cut.empty() && wrong.empty() && ended,
            "serialport " + com + ": a close finishes a cut command's rest, then sends 0",
            "after " + std::to_string(calls) + " calls, report '" + cut + "', wrong line " + wrong +
                (ended ? "" : ", not ended by 0"));
    } else {
      trigout.unload();
    }
  }

  // A COM port that does not exist: the error names it and the system's reason.
  SetEnvironmentVariableA("EEGMEX_SERIALPORT",
                          ("*,115200,byte," + hex("COM199") + "," + hex("%d\\n")).c_str());
  {
    mexhost::Module trigout(paths.build + "\\trigout" + paths.suffix);
    mexhost::CallResult r = pulse(trigout, 888, 1, 1);
    check(r.failed && r.message.rfind("serialport: cannot open COM199: ", 0) == 0,
          "serialport: a missing COM port is named with the reason", r.message);
    // 2^32 + 115200 baud: a number that a 32-bit reading would wrap to a valid rate is refused.
    SetEnvironmentVariableA("EEGMEX_SERIALPORT",
                            ("*,4295082496,byte," + hex("COM199") + "," + hex("%d\\n")).c_str());
    r = pulse(trigout, 888, 1, 1);
    check(r.failed && r.message ==
                          "serialport: the setting EEGMEX_SERIALPORT is not valid (set it with "
                          "eegmex_serialport)",
          "serialport: a setting's number is range-checked before it is narrowed", r.message);
    trigout.unload();
  }
  SetEnvironmentVariableA("EEGMEX_SERIALPORT", nullptr);
  mexhost::clearGlobal("IO_LIB");
}

}  // namespace harness
