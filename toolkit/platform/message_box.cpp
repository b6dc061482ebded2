#include "toolkit/platform/message_box.h"

#include <iostream>
#include <string>

namespace relamor::platform {

void ShowMessageBox(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::cerr << line << '\n' << std::flush;
}

void ShowMessageBox(std::string_view caption, std::string_view text) {
  ShowMessageBox(std::string(caption) + ": " + std::string(text));
}

}  // namespace relamor::platform
