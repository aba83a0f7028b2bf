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

// How long a station's child (and the re-open after a restart) keeps trying a port that cannot
// be opened yet: 3000 ms, scaled with HALVERN_WAIT_MS as the other waits are.
inline uint32_t cmFwAppOpenRetryMs() { return cmFwAppWaitMs() / 20; }
