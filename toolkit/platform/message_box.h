// The message box of the converters: on this platform a line on standard
// error, with no window and no wait.
#pragma once

#include <string_view>

namespace relamor::platform {

// Prints `text` as one line on standard error (line breaks in it become
// blanks).
void ShowMessageBox(std::string_view text);
// With a caption (the program's name), printed before the text and ": ", as
// the program's other lines on standard error are.
void ShowMessageBox(std::string_view caption, std::string_view text);

}  // namespace relamor::platform
