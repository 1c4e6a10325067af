// trigout through the serial port library to pseudo-terminals: the kernel's tty layer is in the
// path, and the far end (the pty's master side, standing in for the trigger box) timestamps each
// byte as it arrives. Timing bounds are generous: the machine is shared.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>

#include "serial_setting.h"
#include "trigout_fixture.h"

namespace {

struct Arrival {
  unsigned char byte;
  int64_t ns;
};

// A pty pair; a thread on the master side records what arrives (unless told never to read),
// and answers each read with `reply` bytes when asked to, as boxes that answer commands do.
class FarEnd {
 public:
  explicit FarEnd(bool reads = true, size_t reply = 0) : reply_(reply) {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    fcntl(master_, F_SETFL, O_NONBLOCK);
    if (reads) reader_ = std::thread([this] { readLoop(); });
  }
  ~FarEnd() { hangUp(); }
  bool ok() const { return slave_ >= 0; }
  std::string slavePath() const { return ttyname(slave_); }
  int slave() const { return slave_; }
  // Closes the master side: the device hangs up.
  void hangUp() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    master_ = slave_ = -1;
  }
  std::vector<Arrival> arrived() {
    std::lock_guard<std::mutex> g(mutex_);
    return arrived_;
  }
  std::string text() {
    std::string s;
    for (const Arrival& a : arrived()) s.push_back(static_cast<char>(a.byte));
    return s;
  }
  // Waits until at least n bytes have arrived (at most 5 s); returns them.
  std::vector<Arrival> await(size_t n) {
    for (int i = 0; i < 5000 && arrived().size() < n; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return arrived();
  }
  // Answers the far end could not write, the computer's side being full.
  size_t unsentReplies() const { return unsent_; }

 private:
  void readLoop() {
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0) continue;
      unsigned char buf[512];
      ssize_t n = read(master_, buf, sizeof buf);
      const int64_t at = nowNs();
      if (n <= 0) continue;
      {
        std::lock_guard<std::mutex> g(mutex_);
        for (ssize_t i = 0; i < n; ++i) arrived_.push_back(Arrival{buf[i], at});
      }
      if (reply_ > 0) {
        std::string answer(reply_, 'k');
        if (write(master_, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) ++unsent_;
      }
    }
  }
  size_t reply_ = 0;
  std::atomic<size_t> unsent_{0};
  int master_ = -1, slave_ = -1;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  std::mutex mutex_;
  std::vector<Arrival> arrived_;
};

// One entry of the setting eegmex_serialport writes.
std::string entry(const std::string& device, const std::string& port = "*",
                  const std::string& protocol = "byte", const std::string& format = "%d\\n") {
  return port + ",115200," + protocol + "," + hex(device) + "," + hex(format);
}

class SerialTrigout : public Trigout {
 protected:
  void SetUp() override {
    Trigout::SetUp();
    dir_ = ::testing::TempDir() + "serial_" + std::to_string(getpid());
    mkdir(dir_.c_str(), 0700);
    unsetenv("SERIALPORT_SYSFS_ROOT");
    useLibrary("serialport");
  }
  void TearDown() override {
    Trigout::TearDown();
    unsetenv("EEGMEX_SERIALPORT");
    unsetenv("SERIALPORT_SYSFS_ROOT");
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  // A stable name for the far end's device, as /dev/serial/by-id gives one; pointed anew at
  // another far end by a moved symlink.
  std::string link(const std::string& name, const FarEnd& far) {
    std::string path = dir_ + "/" + name, staged = path + ".new";
    std::remove(staged.c_str());
    EXPECT_EQ(symlink(far.slavePath().c_str(), staged.c_str()), 0);
    EXPECT_EQ(rename(staged.c_str(), path.c_str()), 0);
    return path;
  }
  static void configure(const std::string& setting) { setenv("EEGMEX_SERIALPORT", setting.c_str(), 1); }
  std::string dir_;
};

::testing::AssertionResult sent(const mexhost::CallResult& r) {
  if (!r.failed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "trigout failed: " << r.message;
}

// An export of the interposed serial port library, which trigout has loaded.
template <typename F>
F interposed(const char* name) {
  void* loaded = dlopen(portLibrary("serialport_interposed").c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!loaded) return nullptr;
  F f = reinterpret_cast<F>(dlsym(loaded, name));
  dlclose(loaded);  // trigout still holds it
  return f;
}

bool exclusive(const FarEnd& far) {
  int on = -1;
  return ioctl(far.slave(), TIOCGEXCL, &on) == 0 && on == 1;
}

// The errno of another program's open of the device, as an unprivileged user (an administrator
// is let in however the device is held), or 0 when it opens. -1 when that cannot be tried.
int otherProgramsOpen(const FarEnd& far) {
  const std::string path = far.slavePath();
  if (geteuid() == 0 && chmod(path.c_str(), 0666) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(255);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    _exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255)
    return -1;
  return WEXITSTATUS(status);
}

std::string pairs(const std::vector<Arrival>& a) {
  std::string s;
  for (const Arrival& x : a) s += std::to_string(x.byte) + " ";
  return s;
}

}  // namespace

TEST_F(SerialTrigout, EveryByteArrivesRawThenItsResetOnARawTerminal) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far)));
  for (int v = 0; v < 256; ++v) {
    ASSERT_TRUE(sent(pulse({888, static_cast<double>(v), 1}))) << v;
    if (v == 0) {
      // The terminal is raw 8N1 without flow control, and keeps its modem lines at close.
      termios t;
      ASSERT_EQ(tcgetattr(far.slave(), &t), 0);
      EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
      EXPECT_EQ(t.c_oflag & OPOST, 0u);
      EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP), 0u);
      EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL), static_cast<tcflag_t>(CS8));
    }
    far.await(2 * static_cast<size_t>(v) + 2);
  }
  std::vector<Arrival> a = far.await(512);
  ASSERT_EQ(a.size(), 512u) << "nothing else is written, at open or otherwise: " << pairs(a);
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(a[2 * v].byte, v);
    EXPECT_EQ(a[2 * v + 1].byte, 0);
  }
}

TEST_F(SerialTrigout, TheTextProtocolSendsTheTemplateFilledIn) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far), "*", "text", "WRITE %d\\n"));
  std::string want;
  for (int v : {0, 1, 9, 127, 128, 200, 255, 256 + 12}) {
    ASSERT_TRUE(sent(pulse({888, static_cast<double>(v), 1})));
    want += "WRITE " + std::to_string(v % 256) + "\nWRITE 0\n";
    far.await(want.size());
  }
  EXPECT_EQ(far.text(), want);

  // A template without exactly one integer conversion is refused, naming the device.
  configure(entry(link("box", far), "*", "text", "WRITE %s\\n"));
  mexhost::CallResult r = pulse({888, 1});
  EXPECT_TRUE(r.failed);
  EXPECT_NE(r.message.find("box: the template"), std::string::npos) << r.message;
}

TEST_F(SerialTrigout, EachPortHasItsDeviceAndItsOwnResetRule) {
  FarEnd a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  configure(entry(link("a", a), "888") + ";" + entry(link("b", b), "889"));
  const int64_t before = nowNs();
  ASSERT_TRUE(sent(pulse({888, 7, 400})));
  ASSERT_TRUE(sent(pulse({889, 3, 100})));
  ASSERT_TRUE(sent(pulse({890, 5, 1}))) << "an address no device has is ignored";
  std::vector<Arrival> wa = a.await(2), wb = b.await(2);
  ASSERT_EQ(pairs(wa), "7 0 ");
  ASSERT_EQ(pairs(wb), "3 0 ");
  EXPECT_GE(wa[1].ns - before, 400 * kMs);
  EXPECT_GE(wb[1].ns - before, 100 * kMs);

  // On one port: 1 then 2 keeps the port at 2 until the second pulse's reset.
  ASSERT_TRUE(sent(pulse({888, 1, 100})));
  sleepMs(5);
  ASSERT_TRUE(sent(pulse({888, 2, 100})));
  finish();
  sleepMs(50);
  EXPECT_EQ(pairs(a.arrived()), "7 0 1 2 0 ");
}

TEST_F(SerialTrigout, CallTimeAndWidthOnTheFarEndsClock) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far)));
  ASSERT_TRUE(sent(pulse({888, 0, 0})));  // the open comes with the first call
  far.await(2);
  for (int i = 0; i < 20; ++i) {
    const int64_t before = nowNs();
    ASSERT_TRUE(sent(pulse({888, static_cast<double>(1 + i), 20})));
    const int64_t after = nowNs();
    std::vector<Arrival> a = far.await(4 + 2 * static_cast<size_t>(i));
    ASSERT_EQ(a.size(), 4 + 2 * static_cast<size_t>(i));
    const Arrival& value = a[a.size() - 2];
    const Arrival& reset = a[a.size() - 1];
    EXPECT_EQ(value.byte, 1 + i);
    EXPECT_LT(after - before, 100 * kMs) << "the call returns without waiting for the device";
    EXPECT_GE(value.ns, before);
    EXPECT_LT(value.ns - before, 200 * kMs);
    // The reset's byte leaves 20 ms after the value's, never sooner. The tty layer hands bytes
    // on from a kernel worker, which a busy machine may run late for one byte and not for the
    // next: only the reset's earliest time and the width's upper bound are sure.
    EXPECT_GE(reset.ns - before, 20 * kMs);
    EXPECT_LT(reset.ns - value.ns, 20 * kMs + 500 * kMs);
  }
}

TEST_F(SerialTrigout, AHangUpIsTheNextCallsErrorAndTheDeviceIsOpenedAgainOnceBack) {
  auto first = std::make_unique<FarEnd>();
  ASSERT_TRUE(first->ok());
  const std::string box = link("box", *first);
  configure(entry(box));
  ASSERT_TRUE(sent(pulse({888, 1, 1})));
  first->await(2);
  first->hangUp();
  mexhost::CallResult r = pulse({888, 2, 1});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(r.message, "serialport: " + box + ": the device hung up (disconnected)");
  // Still gone: the error says why it cannot be opened.
  r = pulse({888, 3, 1});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(r.message.rfind("serialport: cannot open " + box + ": ", 0), 0u) << r.message;

  FarEnd second;
  ASSERT_TRUE(second.ok());
  link("box", second);
  ASSERT_TRUE(sent(pulse({888, 4, 1})));
  EXPECT_EQ(pairs(second.await(2)), "4 0 ");
}

TEST_F(SerialTrigout, AFarEndThatNeverReadsDoesNotBlockTheCaller) {
  FarEnd far(false);
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far), "*", "text", "%99d\\n"));
  std::string failure;
  int64_t slowest = 0;
  for (int i = 0; i < 20000 && failure.empty(); ++i) {
    const int64_t before = nowNs();
    mexhost::CallResult r = pulse({888, 1, 0});
    slowest = std::max(slowest, nowNs() - before);
    if (r.failed) failure = r.message;
  }
  EXPECT_NE(failure.find("the device took no data for 2 ms (its buffer is full)"), std::string::npos)
      << failure;
  EXPECT_LT(slowest, 100 * kMs);
}

TEST_F(SerialTrigout, UnloadingWithPulsesPendingDeliversThemBeforeTheClose) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far)));
  ASSERT_TRUE(sent(pulse({888, 5, 100})));
  ASSERT_TRUE(sent(pulse({888, 6, 50, 120})));
  module_->unload();
  EXPECT_EQ(pairs(far.await(4)), "5 0 6 0 ");
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
}

TEST_F(SerialTrigout, OpenFailuresAndSlowAdaptersAreSaidNamingTheDevice) {
  configure(entry(dir_ + "/missing"));
  mexhost::CallResult r = pulse({888, 1});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message, "serialport: cannot open " + dir_ + "/missing: No such file or directory");

  // A USB-serial adapter's latency timer above 1 ms: one warning at the open.
  FarEnd far;
  ASSERT_TRUE(far.ok());
  const std::string tty = far.slavePath().substr(far.slavePath().rfind('/') + 1);
  const std::string sys = dir_ + "/sys", timer = sys + "/bus/usb-serial/devices/" + tty;
  ASSERT_EQ(std::system(("mkdir -p '" + timer + "' && echo 16 > '" + timer + "/latency_timer'").c_str()), 0);
  setenv("SERIALPORT_SYSFS_ROOT", sys.c_str(), 1);
  configure(entry(link("box", far)));
  r = pulse({888, 1, 1});
  EXPECT_FALSE(r.failed) << r.message;
  ASSERT_EQ(r.warnings.size(), 1u);
  EXPECT_NE(r.warnings[0].find("latency timer is 16 ms"), std::string::npos) << r.warnings[0];
  EXPECT_NE(r.warnings[0].find(timer + "/latency_timer"), std::string::npos) << r.warnings[0];
  far.await(2);
  r = pulse({888, 2, 1});
  EXPECT_TRUE(r.warnings.empty()) << "once";
  EXPECT_EQ(pairs(far.await(4)), "1 0 2 0 ");

  // At 1 ms, nothing to say.
  FarEnd fast;
  ASSERT_TRUE(fast.ok());
  const std::string fastTty = fast.slavePath().substr(fast.slavePath().rfind('/') + 1);
  const std::string fastTimer = sys + "/bus/usb-serial/devices/" + fastTty;
  ASSERT_EQ(
      std::system(("mkdir -p '" + fastTimer + "' && echo 1 > '" + fastTimer + "/latency_timer'").c_str()), 0);
  configure(entry(link("fast", fast)));
  r = pulse({888, 1, 1});
  EXPECT_FALSE(r.failed) << r.message;
  EXPECT_TRUE(r.warnings.empty());
}

TEST_F(SerialTrigout, ACutCommandIsCompletedBeforeAnythingElseAndItsPulseIsReported) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  useLibrary("serialport_interposed");
  const std::string box = link("box", far);
  configure(entry(box, "*", "text"));
  ASSERT_TRUE(sent(pulse({888, 0, 0})));
  std::string want = "0\n0\n";
  far.await(want.size());
  auto cut = interposed<void (*)(long, int)>("InterposeCut");
  ASSERT_TRUE(cut);

  // "12" of "123\n", then nothing for 40 ms: the rest goes before the reset, due at 150 ms. The
  // stall is many times the library's 2 ms bound, so that a loaded machine still sees the cut.
  cut(2, 40);
  ASSERT_TRUE(sent(pulse({888, 123, 150})));
  want += "123\n0\n";
  far.await(want.size());
  sleepMs(20);
  EXPECT_EQ(far.text(), want) << "never 120";
  mexhost::CallResult r = pulse({888, 7, 1});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(r.message, "serialport: " + box +
                           ": the device took no data for 2 ms (its buffer is full); the command for 123 was "
                           "cut after 2 of its 4 bytes, and its rest goes before anything else is written to "
                           "the device");

  // Nothing for longer than the pulse: its reset is withheld while the rest is owed, then the
  // next call's check sends the rest and brings the box back to 0.
  cut(2, 40);
  ASSERT_TRUE(sent(pulse({888, 45, 5})));
  sleepMs(60);
  EXPECT_EQ(far.text(), want + "45") << "nothing after a cut command until its rest";
  r = pulse({888, 8, 1});
  ASSERT_TRUE(r.failed);
  EXPECT_NE(r.message.find("the command for 45 was cut after 2 of its 3 bytes"), std::string::npos)
      << r.message;
  want += "45\n0\n";
  ASSERT_TRUE(sent(pulse({888, 9, 1})));
  want += "9\n0\n";
  far.await(want.size());
  sleepMs(10);
  EXPECT_EQ(far.text(), want);

  // Unloaded while the rest is owed: the close gives the rest its time, then the 0.
  cut(2, 30);
  ASSERT_TRUE(sent(pulse({888, 56, 1})));
  sleepMs(5);
  module_->unload();
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
  want += "56\n0\n";
  far.await(want.size());
  EXPECT_EQ(far.text(), want);

  // A byte the device took none of was not sent; its reset still goes, as 0 is never a wrong code.
  configure(entry(box));
  ASSERT_TRUE(sent(pulse({888, 0, 0})));
  want += std::string(2, '\0');
  far.await(want.size());
  cut = interposed<void (*)(long, int)>("InterposeCut");  // the library was loaded again
  ASSERT_TRUE(cut);
  cut(0, 30);  // many times the bound, so that a loaded machine's late retry still finds it stalled
  ASSERT_TRUE(sent(pulse({888, 77, 60})));
  want += std::string(1, '\0');
  far.await(want.size());
  sleepMs(10);
  EXPECT_EQ(far.text(), want);
  r = pulse({888, 1, 1});
  EXPECT_EQ(r.message, "serialport: " + box + ": the device took no data for 2 ms (its buffer is full)");
}

TEST_F(SerialTrigout, AStalledDeviceIsClosedWithinItsBoundAndDelaysNoOtherBoxsReset) {
  FarEnd a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  useLibrary("serialport_interposed");
  configure(entry(link("a", a), "888") + ";" + entry(link("b", b), "889"));
  ASSERT_TRUE(sent(pulse({888, 1, 1})));
  a.await(2);
  const std::string record = dir_ + "/record";
  interposed<void (*)(const char*)>("InterposeRecord")(record.c_str());
  auto queued = interposed<void (*)(int)>("InterposeQueued");
  auto events = [&] {
    std::ifstream in(record);
    std::string s, ns, what;
    while (in >> ns >> what) s += what + " ";
    return s;
  };

  // Box a is dropped with output that never leaves: the call that applies that waits out the
  // bound, drops the output (a close with output queued would wait for the port's closing
  // time), and box b's reset, due meanwhile, is not held up.
  queued(100);
  ASSERT_TRUE(sent(pulse({889, 3, 30})));
  configure(entry(link("b", b), "889"));
  const int64_t before = nowNs();
  ASSERT_TRUE(sent(pulse({889, 4, 1})));
  const int64_t took = nowNs() - before;
  EXPECT_GE(took, 150 * kMs) << "the drain has its time";
  EXPECT_LT(took, 1000 * kMs) << "and no more";
  EXPECT_EQ(events(), "flush-out close ");
  std::vector<Arrival> wb = b.await(4);
  ASSERT_EQ(pairs(wb), "3 0 4 0 ");
  EXPECT_LT(wb[1].ns - wb[0].ns, 150 * kMs) << "b's reset waited for a's drain";

  // The library let go of by the timer thread while it still had a device: unloaded by the
  // next call, never in the way of the pulses of the library that replaced it.
  queued(100);
  ASSERT_TRUE(sent(pulse({889, 5, 20})));
  useLibrary("simport");
  ASSERT_TRUE(sent(pulse({888, 6, 60})));
  sleepMs(150);
  std::vector<PortWrite> w = log();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_LT(w[1].ns - w[0].ns, 150 * kMs) << "a reset waited for another library's unload";
  EXPECT_EQ(events(), "flush-out close ") << "not unloaded yet";
  ASSERT_TRUE(sent(pulse({888, 7, 1})));
  EXPECT_EQ(events(), "flush-out close flush-out close ");
  EXPECT_EQ(pairs(b.await(6)), "3 0 4 0 5 0 ");
}

TEST_F(SerialTrigout, OneFailingBoxNeverRefusesAnotherBoxsPulses) {
  FarEnd a;
  auto c = std::make_unique<FarEnd>();
  ASSERT_TRUE(a.ok() && c->ok());
  const std::string missing = dir_ + "/missing";
  configure(entry(link("a", a), "888") + ";" + entry(missing, "889"));
  ASSERT_TRUE(sent(pulse({888, 12, 1})));
  a.await(2);
  mexhost::CallResult r = pulse({889, 1, 1});
  ASSERT_TRUE(r.failed);
  EXPECT_EQ(r.message.rfind("serialport: cannot open " + missing + ": ", 0), 0u) << r.message;
  ASSERT_TRUE(sent(pulse({888, 13, 1})));
  EXPECT_EQ(pairs(a.await(4)), "12 0 13 0 ");

  // A box that hangs up: its failure is the next pulse to it's error, and only that pulse's.
  const std::string cPath = link("c", *c);
  configure(entry(link("a", a), "888") + ";" + entry(cPath, "889"));
  ASSERT_TRUE(sent(pulse({889, 2, 1})));
  EXPECT_EQ(pairs(c->await(2)), "2 0 ");
  c->hangUp();
  ASSERT_TRUE(sent(pulse({888, 14, 1})));
  r = pulse({889, 3, 1});
  EXPECT_EQ(r.message, "serialport: " + cPath + ": the device hung up (disconnected)");
  EXPECT_EQ(pairs(a.await(6)), "12 0 13 0 14 0 ");
}

TEST_F(SerialTrigout, WhatTheBoxAnswersIsDiscardedAndItIsOpenedExclusively) {
  FarEnd far(true, 512);
  ASSERT_TRUE(far.ok());
  configure(entry(link("box", far)));
  EXPECT_FALSE(exclusive(far));
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(sent(pulse({888, static_cast<double>(1 + i % 200), 0})));
    far.await(2 * static_cast<size_t>(i) + 2);
  }
  EXPECT_EQ(far.arrived().size(), 600u);
  EXPECT_EQ(far.unsentReplies(), 0u) << "the box could not answer: its answers were never taken";
  EXPECT_TRUE(exclusive(far));
  EXPECT_EQ(otherProgramsOpen(far), EBUSY) << "another program is kept out";
  module_->unload();
  EXPECT_FALSE(exclusive(far)) << "released at the close";
  EXPECT_EQ(otherProgramsOpen(far), 0);
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
}

TEST_F(SerialTrigout, AResetOwedToADeviceNoLongerSetForItsPortGoesToThatDevice) {
  FarEnd a, b;
  ASSERT_TRUE(a.ok() && b.ok());
  const std::string aPath = link("a", a), bPath = link("b", b);
  // Its own reset, on time, and not to the device that took the port over.
  configure(entry(aPath, "888"));
  const int64_t before = nowNs();
  ASSERT_TRUE(sent(pulse({888, 6, 60})));
  configure(entry(bPath, "888"));
  ASSERT_TRUE(sent(pulse({890, 1, 1})));  // applies the new setting; no device for 890
  std::vector<Arrival> wa = a.await(2);
  ASSERT_EQ(pairs(wa), "6 0 ");
  EXPECT_GE(wa[1].ns - before, 60 * kMs);
  EXPECT_TRUE(exclusive(a));
  ASSERT_TRUE(sent(pulse({890, 1, 1})));
  EXPECT_FALSE(exclusive(a)) << "closed once it had its reset";
  EXPECT_EQ(pairs(b.arrived()), "");

  // A newer pulse on the port, to the new device, ends the old device's pulse as it would on
  // one device.
  configure(entry(aPath, "888"));
  ASSERT_TRUE(sent(pulse({888, 5, 200})));
  configure(entry(bPath, "888"));
  ASSERT_TRUE(sent(pulse({888, 7, 50})));
  EXPECT_EQ(pairs(a.await(4)), "6 0 5 0 ");
  EXPECT_EQ(pairs(b.await(2)), "7 0 ");
  finish();
  EXPECT_EQ(pairs(a.arrived()), "6 0 5 0 ");
  EXPECT_EQ(pairs(b.arrived()), "7 0 ");
}

// ---- the serial table: configuration changes with pulses pending, many boxes, odd settings

// The library's own entries, called as trigout calls them: Out32 on the timer's thread while the
// calling thread's driver check takes a new setting on.
TEST_F(SerialTrigout, AConfigurationChangeNeverMovesAPendingWriteAwayFromItsDevice) {
  FarEnd a, b, c;
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  const std::string aPath = link("a", a), bPath = link("b", b), cPath = link("c", c);
  void* library = dlopen(portLibrary("serialport_interposed").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(library);
  auto out32 = reinterpret_cast<void (*)(short, short)>(dlsym(library, "Out32"));
  auto check = reinterpret_cast<int (*)(short)>(dlsym(library, "PortLibraryPortOpen"));
  auto hold = reinterpret_cast<void (*)(int)>(dlsym(library, "InterposeHold"));
  ASSERT_TRUE(out32 && check && hold);

  // Box a holds a pulse on 888 when the port is given to box b.
  configure(entry(aPath, "888"));
  ASSERT_EQ(check(888), 1);
  out32(888, 5);
  configure(entry(bPath, "888") + ";" + entry(aPath, "889"));
  ASSERT_EQ(check(888), 1);
  // The next value on 888 ends a's pulse first (its driver holds that write 150 ms), then goes
  // to b; a third box is set meanwhile. The value and its reset still reach b.
  hold(150);
  std::thread timer([&] { out32(888, 8); });
  sleepMs(50);
  configure(entry(bPath, "888") + ";" + entry(aPath, "889") + ";" + entry(cPath, "890"));
  EXPECT_EQ(check(890), 1);
  timer.join();
  out32(888, 0);
  out32(890, 3);
  out32(890, 0);
  EXPECT_EQ(pairs(a.await(2)), "5 0 ");
  EXPECT_EQ(pairs(b.await(2)), "8 0 ") << "8 and its reset went to the device 888 named at the write";
  EXPECT_EQ(pairs(c.await(2)), "3 0 ");
  sleepMs(20);
  EXPECT_EQ(pairs(a.arrived()), "5 0 ");
  configure("");
  check(888);  // closes them
  dlclose(library);
}

// A child forked while the timer thread's write holds the table's lock sends its own pulse: it
// does not inherit the lock held by a thread it does not have.
TEST_F(SerialTrigout, AChildForkedDuringAWriteSendsItsOwnPulses) {
  FarEnd a;
  ASSERT_TRUE(a.ok());
  const std::string aPath = link("a", a);
  void* library = dlopen(portLibrary("serialport_interposed").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(library);
  auto out32 = reinterpret_cast<void (*)(short, short)>(dlsym(library, "Out32"));
  auto check = reinterpret_cast<int (*)(short)>(dlsym(library, "PortLibraryPortOpen"));
  auto hold = reinterpret_cast<void (*)(int)>(dlsym(library, "InterposeHold"));
  ASSERT_TRUE(out32 && check && hold);
  configure(entry(aPath, "888"));
  ASSERT_EQ(check(888), 1);
  hold(150);
  std::thread timer([&] { out32(888, 5); });
  sleepMs(50);  // the write is held, the table's lock with it
  const pid_t child = fork();
  if (child == 0) {
    alarm(5);  // a child that hangs is ended, and fails the test below
    out32(888, 9);
    out32(888, 0);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  timer.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child hung on the inherited lock";
  out32(888, 0);
  // The child's writes and the parent's held one reach the box in either order.
  std::vector<int> bytes;
  for (const Arrival& x : a.await(4)) bytes.push_back(x.byte);
  std::sort(bytes.begin(), bytes.end());
  EXPECT_EQ(bytes, (std::vector<int>{0, 0, 5, 9}));
  configure("");
  check(888);
  dlclose(library);
}

TEST_F(SerialTrigout, EveryDroppedBoxGetsItsResetHoweverMany) {
  constexpr int kBoxes = 10;
  std::vector<std::unique_ptr<FarEnd>> boxes;
  std::string setting;
  for (int i = 0; i < kBoxes; ++i) {
    boxes.push_back(std::make_unique<FarEnd>());
    ASSERT_TRUE(boxes.back()->ok());
    setting += (i ? ";" : "") + entry(link("box" + std::to_string(i), *boxes.back()), std::to_string(1 + i));
  }
  configure(setting);
  for (int i = 0; i < kBoxes; ++i) ASSERT_TRUE(sent(pulse({1.0 + i, 10.0 + i, 300})));
  configure(entry(link("box0", *boxes[0]), "1"));  // the other boxes are dropped, each owed its reset
  ASSERT_TRUE(sent(pulse({100, 1, 1})));           // takes the setting on; no device has 100
  finish();
  for (int i = 0; i < kBoxes; ++i)
    EXPECT_EQ(pairs(boxes[i]->await(2)), std::to_string(10 + i) + " 0 ") << "box " << i;
}

TEST_F(SerialTrigout, ANulInADeviceNameOrTemplateIsRefused) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  const std::string box = link("box", far);
  configure(entry(box + std::string("\0.old", 5)));
  mexhost::CallResult r = pulse({888, 1, 1});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message, "serialport: the device name holds a NUL byte (after \"" + box + "\")");
  configure(entry(box, "*", "text", std::string("T%d\0\\n", 6)));
  r = pulse({888, 1, 1});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message, "serialport: " + box + ": the template holds a NUL byte");
  sleepMs(20);
  EXPECT_EQ(pairs(far.arrived()), "") << "nothing was sent";
}

TEST_F(SerialTrigout, AConfigurationGivenThroughTheExportIsUsedInPlaceOfTheEnvironment) {
  FarEnd far;
  ASSERT_TRUE(far.ok());
  // As a host that must not change its environment does: the library loaded by itself first.
  void* library = dlopen(portLibrary("serialport").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_TRUE(library);
  auto give = reinterpret_cast<void (*)(const char*)>(dlsym(library, "SerialportConfigure"));
  ASSERT_TRUE(give);
  configure("not a setting");
  give(entry(link("box", far)).c_str());
  ASSERT_TRUE(sent(pulse({888, 4, 1})));
  EXPECT_EQ(pairs(far.await(2)), "4 0 ");
  EXPECT_STREQ(getenv("EEGMEX_SERIALPORT"), "not a setting") << "the environment is left as it was";
  give(nullptr);  // the environment variable again
  mexhost::CallResult r = pulse({888, 5, 1});
  EXPECT_TRUE(r.failed);
  EXPECT_NE(r.message.find("the setting EEGMEX_SERIALPORT is not valid"), std::string::npos) << r.message;
  module_->unload();
  dlclose(library);
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
}
