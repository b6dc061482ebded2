#include "toolkit/platform/message_box.h"

#include <gtest/gtest.h>

namespace relamor::platform {
namespace {

TEST(MessageBoxTest, PrintsTheTextAsOneLineOnStandardError) {
  ::testing::internal::CaptureStderr();
  ShowMessageBox("Out of Memory");
  ShowMessageBox("two\r\nlines");
  ShowMessageBox("relamor", "Out of Memory");  // the caption first, as other messages
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Out of Memory\ntwo  lines\nrelamor: Out of Memory\n");
}

}  // namespace
}  // namespace relamor::platform
