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

}  // namespace relamor::platform
