#include "toolkit/platform/message_box.h"

#include <gtest/gtest.h>

namespace relamor::platform {
namespace {

TEST(MessageBoxTest, PrintsTheTextAsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  ShowMessageBox("Out of Memory");
  ShowMessageBox("two\r\nlines");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Out of Memory\ntwo  lines\n");
}

}  // namespace
}  // namespace relamor::platform
