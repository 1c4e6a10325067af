// The shipped port libraries through their exports, as trigout loads them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ppdev_map.h"

namespace {

using Out32Fn = void (*)(short, short);
using Inp32Fn = short (*)(short);
using IsOpenFn = int (*)();
using FlushFn = void (*)();

std::string lib(const std::string& name) { return std::string(PORTLIB_DIR) + "/" + name + ".so"; }

struct Loaded {
  explicit Loaded(const std::string& path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
  ~Loaded() {
    if (handle) dlclose(handle);
  }
  template <typename F>
  F get(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle, name));
  }
  void* handle;
};

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "portlibs_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

}  // namespace

TEST(SimulatedPort, EachPortKeepsItsLastByteAndReadsItBack) {
  unsetenv("SIMPORT_LOG");
  Loaded sim(lib("simport"));
  ASSERT_TRUE(sim.handle);
  auto out = sim.get<Out32Fn>("Out32");
  auto inp = sim.get<Inp32Fn>("Inp32");
  ASSERT_TRUE(out && inp);
  out(888, 0x1FF);  // only the low byte is a port value
  out(889, 7);
  out(static_cast<short>(0xC000), 42);  // addresses above 32767 come as negative shorts
  EXPECT_EQ(inp(888), 0xFF);
  EXPECT_EQ(inp(889), 7);
  EXPECT_EQ(inp(static_cast<short>(0xC000)), 42);
  EXPECT_EQ(inp(890), 0);
  out(888, 0);
  EXPECT_EQ(inp(888), 0);
}

TEST(SimulatedPort, WritesAreLoggedInOrderWithMonotonicTimesOnlyWhenALogIsNamed) {
  std::string path = tempPath("sim.log");
  std::remove(path.c_str());
  Loaded sim(lib("simport"));
  auto out = sim.get<Out32Fn>("Out32");
  auto isOpen = sim.get<IsOpenFn>("IsInpOutDriverOpen");
  // The setting is taken by each driver check (trigout makes one on every call), not by writes.
  unsetenv("SIMPORT_LOG");
  isOpen();
  out(888, 1);
  setenv("SIMPORT_LOG", path.c_str(), 1);
  out(888, 11);
  isOpen();
  out(888, 2);
  out(static_cast<short>(0xC000), 300);
  unsetenv("SIMPORT_LOG");
  out(888, 12);
  isOpen();
  out(888, 3);
  sim.get<FlushFn>("SimportFlushLog")();
  std::vector<std::string> l = lines(path);
  ASSERT_EQ(l.size(), 3u);
  long long t1 = 0, t2 = 0;
  unsigned p1, v1, p2, v2;
  char tag1[16], tag2[16];
  ASSERT_EQ(std::sscanf(l[0].c_str(), "%lld %u %u %15s", &t1, &p1, &v1, tag1), 4);
  ASSERT_EQ(std::sscanf(l[1].c_str(), "%lld %u %u %15s", &t2, &p2, &v2, tag2), 4);
  EXPECT_EQ(l[2].substr(l[2].find(' ')), " 888 12 sim") << "logged until the next driver check";
  EXPECT_EQ(p1, 888u);
  EXPECT_EQ(v1, 2u);
  EXPECT_EQ(p2, 0xC000u);
  EXPECT_EQ(v2, 300u % 256);
  EXPECT_STREQ(tag1, "sim");
  EXPECT_GT(t1, 0);
  EXPECT_GE(t2, t1);
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  EXPECT_LE(t2, static_cast<long long>(now.tv_sec) * 1000000000 + now.tv_nsec) << "same clock as the waits";
  std::remove(path.c_str());
}

// Threads of this process now.
size_t threadCount() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 8, "Threads:") == 0) return std::stoul(line.substr(8));
  return 0;
}

// Values of the "<ns> <port> <value> <tag>" lines of a log.
std::vector<unsigned> loggedValues(const std::string& path) {
  std::vector<unsigned> values;
  for (const std::string& l : lines(path)) {
    long long ns;
    unsigned port, value;
    char tag[16];
    if (std::sscanf(l.c_str(), "%lld %u %u %15s", &ns, &port, &value, tag) == 4) values.push_back(value);
  }
  return values;
}

TEST(SimulatedPort, TheLogIsWrittenInTheBackgroundEachWriteToTheFileNamedAtTheLastDriverCheck) {
  const std::string a = tempPath("a.log"), b = tempPath("b.log");
  std::remove(a.c_str());
  std::remove(b.c_str());
  const size_t threadsBefore = threadCount();
  {
    Loaded sim(lib("simport"));
    auto out = sim.get<Out32Fn>("Out32");
    auto isOpen = sim.get<IsOpenFn>("IsInpOutDriverOpen");
    setenv("SIMPORT_LOG", a.c_str(), 1);
    isOpen();
    out(888, 1);
    out(888, 2);
    setenv("SIMPORT_LOG", b.c_str(), 1);
    isOpen();
    out(888, 3);
    setenv("SIMPORT_LOG", a.c_str(), 1);
    isOpen();
    out(888, 4);
    // Without being asked: the writes reach their files within moments.
    for (int i = 0; i < 5000 && loggedValues(a).size() + loggedValues(b).size() < 4; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(loggedValues(a), (std::vector<unsigned>{1, 2, 4}));
    EXPECT_EQ(loggedValues(b), (std::vector<unsigned>{3}));
    // Writes made just before the library is let go of are in the file once it is gone, and
    // its thread with it.
    for (unsigned v = 5; v < 200; ++v) out(889, static_cast<short>(v));
    unsetenv("SIMPORT_LOG");
  }
  std::vector<unsigned> all = loggedValues(a);
  ASSERT_EQ(all.size(), 198u);
  for (unsigned v = 5; v < 200; ++v) EXPECT_EQ(all[v - 2], v);
  EXPECT_EQ(threadCount(), threadsBefore) << "the library's thread outlived it";
  std::remove(a.c_str());
  std::remove(b.c_str());
}

TEST(SimulatedPort, DriverReportsOpenUnlessSwitchedOrBuiltClosed) {
  Loaded sim(lib("simport"));
  auto isOpen = sim.get<IsOpenFn>("IsInpOutDriverOpen");
  ASSERT_TRUE(isOpen);
  unsetenv("SIMPORT_DRIVER_CLOSED");
  EXPECT_NE(isOpen(), 0);
  setenv("SIMPORT_DRIVER_CLOSED", "1", 1);
  EXPECT_EQ(isOpen(), 0);
  unsetenv("SIMPORT_DRIVER_CLOSED");
  EXPECT_NE(isOpen(), 0);
  Loaded closed(lib("simport_closed"));
  EXPECT_EQ(closed.get<IsOpenFn>("IsInpOutDriverOpen")(), 0);
}

TEST(SimulatedPort, TestVariantsLackExactlyTheirExport) {
  struct Case {
    const char* name;
    const char* missing;
  };
  for (Case c : {Case{"simport_noout", "Out32"}, Case{"simport_noinp", "Inp32"},
                 Case{"simport_noisopen", "IsInpOutDriverOpen"}, Case{"simport", nullptr}}) {
    Loaded l(lib(c.name));
    ASSERT_TRUE(l.handle) << c.name;
    for (const char* e : {"Out32", "Inp32", "IsInpOutDriverOpen"}) {
      bool want = !c.missing || std::string(e) != c.missing;
      EXPECT_EQ(dlsym(l.handle, e) != nullptr, want) << c.name << " " << e;
    }
  }
}

// ---- ppdev ----------------------------------------------------------------------------------

namespace {

// A fake /proc and /dev: parport<N>/base-addr files with the kernel's "base\tbase_hi" format.
class FakeParport : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string cleanup = "rm -rf '" + root_ + "'";
    ASSERT_EQ(std::system(cleanup.c_str()), 0);
    mkdirs(root_ + "/proc/sys/dev/parport");
    mkdirs(root_ + "/dev");
  }
  void TearDown() override {
    std::string cleanup = "rm -rf '" + root_ + "'";
    std::system(cleanup.c_str());
  }
  static void mkdirs(const std::string& path) {
    std::string cmd = "mkdir -p '" + path + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
  }
  void announce(const std::string& entry, const char* baseAddr) {
    std::string dir = root_ + "/proc/sys/dev/parport/" + entry;
    mkdirs(dir);
    if (baseAddr) std::ofstream(dir + "/base-addr") << baseAddr;
  }
  std::string proc() const { return root_ + "/proc"; }
  std::string root_;
};

}  // namespace

TEST_F(FakeParport, PortsAreListedByIndexWithTheirBaseAddress) {
  announce("parport1", "632\t1656\n");
  announce("parport0", "888\t1912\n");
  announce("parport10", "49152\t-1\n");
  announce("parport2", nullptr);      // no base-addr: skipped
  announce("parportx", "900\n");      // not a port entry
  announce("default", "1\n");         // the kernel's "default" entry is no port
  announce("parport3", "garbage\n");  // unreadable number: skipped
  std::vector<ppdev::ParallelPort> ports = ppdev::listPorts(proc());
  ASSERT_EQ(ports.size(), 3u);
  EXPECT_EQ(ports[0].index, 0);
  EXPECT_EQ(ports[0].base, 888u);
  EXPECT_EQ(ports[1].index, 1);
  EXPECT_EQ(ports[1].base, 632u);
  EXPECT_EQ(ports[2].index, 10);
  EXPECT_EQ(ports[2].base, 49152u);
  EXPECT_TRUE(ppdev::listPorts(root_ + "/nowhere").empty());
}

TEST(PpdevMap, AddressesNameTheRegistersOfTheirPort) {
  std::vector<ppdev::ParallelPort> ports = {{0, 888}, {1, 632}};
  struct Case {
    unsigned address;
    int port;
    ppdev::Register reg;
  };
  const Case cases[] = {
      {888, 0, ppdev::Register::data},    {889, 0, ppdev::Register::status},
      {890, 0, ppdev::Register::control}, {632, 1, ppdev::Register::data},
      {634, 1, ppdev::Register::control}, {891, -1, ppdev::Register::none},
      {887, -1, ppdev::Register::none},   {0, -1, ppdev::Register::none},
  };
  for (const Case& c : cases) {
    ppdev::Target t = ppdev::mapAddress(ports, c.address);
    EXPECT_EQ(t.port, c.port) << c.address;
    EXPECT_EQ(t.reg, c.reg) << c.address;
  }
  EXPECT_EQ(ppdev::mapAddress({}, 888).port, -1);
}

TEST_F(FakeParport, DriverIsClosedWhenNoPortCanBeClaimedAndNothingIsWritten) {
  announce("parport0", "888\t1912\n");
  // A plain file stands where the device would be: it opens, but cannot be claimed.
  std::ofstream(root_ + "/dev/parport0").close();
  setenv("PPDEVPORT_PROC_ROOT", proc().c_str(), 1);
  setenv("PPDEVPORT_DEV_ROOT", (root_ + "/dev").c_str(), 1);
  {
    Loaded pp(lib("ppdevport"));
    ASSERT_TRUE(pp.handle) << dlerror();
    auto isOpen = pp.get<IsOpenFn>("IsInpOutDriverOpen");
    auto out = pp.get<Out32Fn>("Out32");
    auto inp = pp.get<Inp32Fn>("Inp32");
    ASSERT_TRUE(isOpen && out && inp);
    EXPECT_EQ(isOpen(), 0);
    out(888, 0x55);
    out(890, 0x0F);
    out(1234, 1);  // no such port: ignored
    EXPECT_EQ(inp(888), 0);
    struct stat st;
    ASSERT_EQ(stat((root_ + "/dev/parport0").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "an unclaimed port is never written";
  }
  // No device at all.
  std::remove((root_ + "/dev/parport0").c_str());
  {
    Loaded pp(lib("ppdevport"));
    EXPECT_EQ(pp.get<IsOpenFn>("IsInpOutDriverOpen")(), 0);
  }
  // No port announced.
  setenv("PPDEVPORT_PROC_ROOT", (root_ + "/nowhere").c_str(), 1);
  {
    Loaded pp(lib("ppdevport"));
    EXPECT_EQ(pp.get<IsOpenFn>("IsInpOutDriverOpen")(), 0);
  }
  unsetenv("PPDEVPORT_PROC_ROOT");
  unsetenv("PPDEVPORT_DEV_ROOT");
}
