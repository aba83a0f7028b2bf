#include "platform/terminal.h"

#include <cstdlib>

namespace platform {

TerminalSize FallbackTerminalSize() {
  auto number = [](const char* name, int otherwise) {
    const char* text = std::getenv(name);
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 && value < 100000 ? static_cast<int>(value) : otherwise;
  };
  return {number("COLUMNS", 80), number("LINES", 24)};
}

}  // namespace platform
