// How long a command waits for the target's answer: 60000 ms, or HALVERN_WAIT_MS.
#pragma once

#include <cstdint>
#include <cstdlib>

inline uint32_t cmFwAppWaitMs() {
  const char* text = std::getenv("HALVERN_WAIT_MS");
  if (!text || !*text) return 60000;
  char* end = nullptr;
  unsigned long ms = std::strtoul(text, &end, 10);
  return (*end == '\0' && ms > 0 && ms <= 3600000) ? static_cast<uint32_t>(ms) : 60000;
}
