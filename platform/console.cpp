// Line input on top of the OS's byte input: the same on every system.
#include "platform/console.h"

namespace platform {

bool ConsoleReadLine(std::string* line, size_t max) {
  line->clear();
  int c = ConsoleReadByte();
  if (c < 0) return false;
  for (; c >= 0 && c != '\n'; c = ConsoleReadByte())
    if (line->size() < max) line->push_back(static_cast<char>(c));
  if (c == kConsoleInterrupted) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace platform
