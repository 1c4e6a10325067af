// The embedded host behaves as the modules rely on: errors jump out of the call, call-scoped
// storage and unreturned arrays are released, globals are copied.
#include <gtest/gtest.h>

#include "mexhost.h"

namespace {

void raisesAfterAllocating(int, mxArray* plhs[], int, const mxArray*[]) {
  mxCalloc(10, 8);
  plhs[0] = mxCreateDoubleMatrix(2, 3, mxREAL);
  mexErrMsgTxt("stopped\n");
  plhs[0] = nullptr;  // never reached
}

void returnsGlobalCopy(int, mxArray* plhs[], int, const mxArray*[]) {
  mxArray* g = mexGetVariable("global", "G");
  if (!g) mexErrMsgTxt("no G");
  mxArray* r = mxCreateDoubleMatrix(1, 1, mxREAL);
  mxGetPr(r)[0] = mxGetScalar(g) + 1;
  mexWarnMsgTxt("careful");
  mexWarnMsgIdAndTxt("test:left", "%d left", 3);
  plhs[0] = r;
}

void readsString(int, mxArray* plhs[], int, const mxArray* prhs[]) {
  char buf[4];
  int rc = mxGetString(prhs[0], buf, sizeof buf);
  mxArray* r = mxCreateDoubleMatrix(1, 4, mxREAL);
  mxGetPr(r)[0] = rc;
  for (int i = 0; i < 3; ++i) mxGetPr(r)[i + 1] = static_cast<unsigned char>(buf[i]);
  plhs[0] = r;
}

TEST(EmbeddedHost, ErrorJumpsOutAndReleasesCallStorage) {
  size_t arrays = mexhost::liveArrays(), callocs = mexhost::liveCallocs();
  mexhost::CallResult r = mexhost::call(raisesAfterAllocating, 1, {});
  EXPECT_TRUE(r.failed);
  EXPECT_EQ(r.message, "stopped\n");
  ASSERT_EQ(r.results.size(), 1u);
  EXPECT_EQ(r.results[0], nullptr);
  EXPECT_EQ(mexhost::liveArrays(), arrays);
  EXPECT_EQ(mexhost::liveCallocs(), callocs);
}

TEST(EmbeddedHost, GlobalsAreCopiedAndResultsReturned) {
  mexhost::CallResult missing = mexhost::call(returnsGlobalCopy, 1, {});
  EXPECT_EQ(missing.message, "no G");
  mexhost::setGlobal("G", mexhost::scalar(41).get());
  size_t arrays = mexhost::liveArrays();
  mexhost::CallResult r = mexhost::call(returnsGlobalCopy, 1, {});
  ASSERT_FALSE(r.failed) << r.message;
  EXPECT_EQ(mexhost::values(r.results[0].get()), std::vector<double>{42});
  EXPECT_EQ(r.warnings, (std::vector<std::string>{"careful", "3 left"}));
  r.results.clear();
  EXPECT_EQ(mexhost::liveArrays(), arrays);  // the copy of G went with the call
  mexhost::clearGlobals();
}

TEST(EmbeddedHost, StringCopyTruncatesAndReportsIt) {
  mexhost::Array ab = mexhost::charArray("ab"), abcd = mexhost::charArray("abcd");
  mexhost::Array num = mexhost::scalar(1);
  EXPECT_EQ(mexhost::values(mexhost::call(readsString, 1, {ab.get()}).results[0].get()),
            (std::vector<double>{0, 'a', 'b', 0}));
  EXPECT_EQ(mexhost::values(mexhost::call(readsString, 1, {abcd.get()}).results[0].get()),
            (std::vector<double>{1, 'a', 'b', 'c'}));
  EXPECT_EQ(mexhost::values(mexhost::call(readsString, 1, {num.get()}).results[0].get())[0], 1);
}

TEST(EmbeddedHost, StructFieldsAndClasses) {
  mexhost::Array s = mexhost::structArray();
  mexhost::setField(s.get(), "x", mexhost::numeric(mxINT16_CLASS, 1, 3, {1.6, -40000, 7}));
  EXPECT_EQ(mxGetFieldNumber(s.get(), "x"), 0);
  EXPECT_EQ(mxGetFieldNumber(s.get(), "y"), -1);
  const mxArray* x = mxGetField(s.get(), 0, "x");
  ASSERT_NE(x, nullptr);
  EXPECT_TRUE(mxIsNumeric(x));
  EXPECT_EQ(mxGetClassID(x), mxINT16_CLASS);
  EXPECT_EQ(mexhost::values(x), (std::vector<double>{2, -32768, 7}));
  mexhost::Array empty = mexhost::structArray(0, 0);
  mexhost::addField(empty.get(), "x");
  EXPECT_EQ(mxGetFieldNumber(empty.get(), "x"), 0);
  EXPECT_EQ(mxGetField(empty.get(), 0, "x"), nullptr);
}

TEST(EmbeddedHost, InjectedAllocationFailureRaisesOutOfMemory) {
  mexhost::setGlobal("G", mexhost::scalar(1).get());
  mexhost::failHostAllocation(2);  // the copy of G succeeds, the result matrix fails
  mexhost::CallResult r = mexhost::call(returnsGlobalCopy, 1, {});
  mexhost::failHostAllocation(0);
  EXPECT_TRUE(r.failed);
  EXPECT_NE(r.message.find("Out of memory"), std::string::npos);
  mexhost::clearGlobals();
}

}  // namespace
