// Where the device library's trace lines go: standard output by default, and
// Log's output once a program has set one, whatever Log's package mask is.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Log.h"
#include "vTrace.h"

namespace {

std::string Contents(FILE* f) {
  fflush(f);
  rewind(f);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  return text;
}

TEST(TraceSink, FollowsLogOutputAndReturnsToStandardOutput) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  uint32_t mask = Log::ActiveMask();
  Log::DeactivatePackage(0xFFFFFFFFu);
  Log::SetOutput(f);
  testing::internal::CaptureStdout();
  vTrace_Printf("link %u: kSyncStateStart\n", 7u);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "");
  EXPECT_EQ(Contents(f), "link 7: kSyncStateStart\n");

  Log::SetOutput(nullptr);
  testing::internal::CaptureStdout();
  vTrace_Printf("USB %s: %s\n", "read", "LIBUSB_ERROR_IO");
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "USB read: LIBUSB_ERROR_IO\n");
  fclose(f);
  Log::ActivatePackage(mask);
}

// A line longer than the trace buffer is cut, never written past its end.
TEST(TraceSink, OverlongLineIsCut) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  Log::SetOutput(f);
  std::string huge(10000, 'x');
  vTrace_Printf("%s\n", huge.c_str());
  Log::SetOutput(nullptr);
  std::string text = Contents(f);
  EXPECT_GT(text.size(), 500u);
  EXPECT_LT(text.size(), huge.size());
  EXPECT_EQ(text.find_first_not_of('x'), std::string::npos);
  fclose(f);
}

}  // namespace
