// The conversions of port, value and waits agree with integer arithmetic on the truncated number
// (an independent reference: two's complement low bits of a 64-bit integer).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "arguments.h"

namespace {
const double kSamples[] = {0,
                           0.2,
                           0.99,
                           1,
                           3.7,
                           -0.5,
                           -1,
                           -1.5,
                           -255.9,
                           255,
                           256,
                           257.3,
                           888.9,
                           65535,
                           65536,
                           65537.9,
                           -65536,
                           -65537,
                           1e6,
                           -1e6,
                           2.5e9,
                           -2.5e9,
                           4294967296.0 + 888,
                           1e15 + 7,
                           -(1e15 + 7),
                           9.007199254740991e15,
                           -9.007199254740991e15};
}

TEST(Arguments, PortAndValueKeepTheLowBitsOfTheTruncatedNumber) {
  for (double x : kSamples) {
    int64_t t = static_cast<int64_t>(x);  // truncates toward zero
    uint16_t port = 1;
    uint8_t value = 1;
    ASSERT_TRUE(trig::toPort(x, &port)) << x;
    ASSERT_TRUE(trig::toByte(x, &value)) << x;
    EXPECT_EQ(port, static_cast<uint16_t>(static_cast<uint64_t>(t) & 0xFFFF)) << x;
    EXPECT_EQ(value, static_cast<uint8_t>(static_cast<uint64_t>(t) & 0xFF)) << x;
  }
}

TEST(Arguments, NonFiniteNumbersAreRefusedAndLeaveTheTargetAlone) {
  const double bad[] = {std::nan(""), std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()};
  for (double x : bad) {
    uint16_t port = 7;
    uint8_t value = 7;
    int32_t ms = 7;
    EXPECT_FALSE(trig::toPort(x, &port));
    EXPECT_FALSE(trig::toByte(x, &value));
    EXPECT_EQ(trig::toMilliseconds(x, &ms), trig::MillisecondsStatus::notFinite);
    EXPECT_EQ(port, 7);
    EXPECT_EQ(value, 7);
    EXPECT_EQ(ms, 7);
  }
}

TEST(Arguments, WaitsAreTruncatedMillisecondsFromZeroToInt32Max) {
  struct Case {
    double x;
    trig::MillisecondsStatus status;
    int32_t ms;
  };
  const Case cases[] = {
      {0, trig::MillisecondsStatus::ok, 0},
      {10.9, trig::MillisecondsStatus::ok, 10},
      {-0.9, trig::MillisecondsStatus::ok, 0},
      {2147483647.0, trig::MillisecondsStatus::ok, 2147483647},
      {2147483647.9, trig::MillisecondsStatus::ok, 2147483647},
      {2147483648.0, trig::MillisecondsStatus::tooLarge, 0},
      {1e300, trig::MillisecondsStatus::tooLarge, 0},
      {-1, trig::MillisecondsStatus::negative, 0},
      {-4294967296.0, trig::MillisecondsStatus::negative, 0},
  };
  for (const Case& c : cases) {
    int32_t ms = -99;
    EXPECT_EQ(trig::toMilliseconds(c.x, &ms), c.status) << c.x;
    if (c.status == trig::MillisecondsStatus::ok) {
      EXPECT_EQ(ms, c.ms) << c.x;
    }
  }
}
