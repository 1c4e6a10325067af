// Every rejected call names its first fault with its exact message, in the fixed order
// (argument count, result count, IO_LIB, the library's exports, its driver, then the
// arguments), and nothing reaches the port.
#include <cmath>
#include <limits>

#include "trigout_fixture.h"

using mexhost::Array;
using mexhost::scalar;

namespace {
const char* kCount = "Two or three or four input arguments required";
const char* kResult = "No output argument allowed";
const char* kNoIoLib = "IO_LIB not found or is nor global variable.";
const char* kLoad = "LoadLibrary Failed. Check IO_LIB.\n";
const char* kNoOut = "GetProcAddress for Oup32 Failed.\n";
const char* kNoInp = "GetProcAddress for Inp32 Failed.\n";
const char* kNoOpen = "GetProcAddress for IsOpen Failed.\n";
const char* kClosed = "Parellel Port library is not loaded.(Try running as an administrator).\n";
}  // namespace

TEST_F(Trigout, CountsAreCheckedFirstAndCountBeforeResults) {
  Array a = scalar(888), b = scalar(1);
  mexhost::clearGlobals();  // even without IO_LIB the counts decide
  for (size_t n : {0u, 1u, 5u}) {
    std::vector<const mxArray*> args(n, a.get());
    EXPECT_EQ(call(0, args).message, kCount) << n << " arguments";
    EXPECT_EQ(call(1, args).message, kCount) << n << " arguments, one result";
  }
  EXPECT_EQ(call(1, {a.get(), b.get()}).message, kResult);
  EXPECT_EQ(call(2, {a.get(), b.get(), b.get(), b.get()}).message, kResult);
  EXPECT_TRUE(log().empty());
}

TEST_F(Trigout, EachBindingFailureNamesItsStepAndWritesNothing) {
  struct Case {
    const char* library;  // null: IO_LIB undefined
    bool driverSwitchClosed;
    const char* message;
  };
  const Case cases[] = {
      {nullptr, false, kNoIoLib},           {"no_such_library", false, kLoad},
      {"simport_noout", false, kNoOut},     {"simport_noinp", false, kNoInp},
      {"simport_noisopen", false, kNoOpen}, {"simport_closed", false, kClosed},
      {"simport", true, kClosed},
  };
  for (const Case& c : cases) {
    mexhost::clearGlobals();
    if (c.library) useLibrary(c.library);
    if (c.driverSwitchClosed) setenv("SIMPORT_DRIVER_CLOSED", "1", 1);
    mexhost::CallResult r = pulse({888, 255});
    unsetenv("SIMPORT_DRIVER_CLOSED");
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, c.message) << (c.library ? c.library : "no IO_LIB");
    EXPECT_EQ(mexhost::liveCallocs(), 0u) << "the IO_LIB string is the host's to free";
  }
  EXPECT_TRUE(log().empty());
  // A failed binding releases the library again.
  for (const char* lib : {"simport_noout.so", "simport_noinp.so", "simport_noisopen.so", "simport_closed.so"})
    EXPECT_FALSE(isMapped(lib)) << lib;
}

TEST_F(Trigout, IoLibMayBeAnyCharArrayWithTheFileName) {
  std::string path = portLibrary("simport");
  mexhost::setGlobal("IO_LIB", mexhost::charMatrix(1, path.size(), path).get());
  EXPECT_FALSE(pulse({888, 1, 1}).failed);
  mexhost::setGlobal("IO_LIB", scalar(3).get());  // not text: an empty name that cannot load
  EXPECT_EQ(pulse({888, 1, 1}).message, kLoad);
  // A name of any length: 700 characters (a buffer of the host's, not the call's own).
  std::string longPath = std::string(PORTLIB_DIR);
  while (longPath.size() < 700) longPath += "/.";
  longPath += "/simport.so";
  mexhost::setGlobal("IO_LIB", mexhost::charArray(longPath).get());
  sleepMs(20);  // the first pulse has ended: its reset is not skipped for the newer value
  EXPECT_FALSE(pulse({889, 2, 1}).failed);
  EXPECT_EQ(finish(), (std::vector<PortWrite>{W(888, 1), W(888, 0), W(889, 2), W(889, 0)}));
}

TEST_F(Trigout, BindingIsCheckedBeforeTheArguments) {
  Array nan = scalar(std::nan("")), one = scalar(1);
  mexhost::clearGlobals();
  EXPECT_EQ(call(0, {nan.get(), one.get()}).message, kNoIoLib);
  useLibrary("simport_noinp");
  EXPECT_EQ(pulse({888, 1, -5}).message, kNoInp);
  EXPECT_TRUE(log().empty());
}

TEST_F(Trigout, UnusableArgumentsAreRefusedBeforeAnyWrite) {
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  struct Case {
    std::vector<Array> args;
    const char* message;
  };
  std::vector<Case> cases;
  // Port and value as given, then duration and delay as numbers.
  auto add = [&](Array port, Array value, std::vector<double> waits, const char* m) {
    Case c{{}, m};
    c.args.push_back(std::move(port));
    c.args.push_back(std::move(value));
    for (double w : waits) c.args.push_back(scalar(w));
    cases.push_back(std::move(c));
  };
  const char* badPort = "port must be a finite real number.";
  const char* badValue = "value must be a finite real number.";
  add(scalar(nan), scalar(1), {}, badPort);
  add(mexhost::doubleMatrix(0, 0), scalar(1), {}, badPort);
  add(mexhost::complexMatrix(1, 1, {888}, {1}), scalar(1), {}, badPort);
  add(scalar(888), scalar(inf), {}, badValue);
  add(scalar(888), mexhost::charArray("1"), {}, badValue);
  add(scalar(888), mexhost::numeric(mxLOGICAL_CLASS, 1, 1, {1}), {}, badValue);
  add(scalar(888), mexhost::structArray(), {}, badValue);
  add(scalar(888), scalar(1), {-1}, "duration must not be negative.");
  add(scalar(888), scalar(1), {-1e12}, "duration must not be negative.");
  add(scalar(888), scalar(1), {nan}, "duration must be a finite real number.");
  add(scalar(888), scalar(1), {inf}, "duration must be a finite real number.");
  add(scalar(888), scalar(1), {2147483648.0}, "duration must be at most 2147483647 ms.");
  add(scalar(888), scalar(1), {10, -1}, "delay must not be negative.");
  add(scalar(888), scalar(1), {-1, -1}, "duration must not be negative.");
  add(scalar(888), scalar(1), {10, -inf}, "delay must be a finite real number.");
  add(scalar(888), scalar(1), {10, 3e9}, "delay must be at most 2147483647 ms.");
  add(scalar(888), scalar(1), {}, nullptr);  // with an empty duration, below
  cases.back().args.push_back(mexhost::doubleMatrix(1, 0));
  cases.back().message = "duration must be a finite real number.";

  for (const Case& c : cases) {
    std::vector<const mxArray*> a;
    for (const Array& x : c.args) a.push_back(x.get());
    mexhost::CallResult r = call(0, a);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(r.message, c.message);
  }
  EXPECT_TRUE(log().empty());
  EXPECT_EQ(mexhost::liveCallocs(), 0u);
  module_->unload();  // lets go of the module's own reference on the last library bound
  EXPECT_FALSE(isMapped("simport.so")) << "a refused call releases the library it loaded";
  module_ = std::make_unique<mexhost::Module>(TRIGOUT_MODULE);
}

TEST_F(Trigout, SmallNegativeFractionsTruncateToZeroAndAreAccepted) {
  EXPECT_FALSE(pulse({888, 1, -0.5, -0.9}).failed);
  std::vector<PortWrite> w = finish();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0], W(888, 1));
  EXPECT_EQ(w[1], W(888, 0));
}
