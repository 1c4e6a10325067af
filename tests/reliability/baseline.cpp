// Before any test takes a thread count as its baseline, one thread is started and joined: a
// sanitizer runtime starts a background thread of its own with the first thread of the process,
// and that thread must not count as a pulse thread left behind.
#include <gtest/gtest.h>

#include <thread>

namespace {

class ThreadBaseline : public ::testing::Environment {
 public:
  void SetUp() override {
    std::thread([] {}).join();
  }
};

const ::testing::Environment* const g_baseline = ::testing::AddGlobalTestEnvironment(new ThreadBaseline);

}  // namespace
