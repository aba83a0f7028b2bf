#include <winsock2.h>

#include "platform/listen_socket.h"

namespace platform {

void ListenAlone(uintptr_t sock) {
  // Windows lets a socket with SO_REUSEADDR take over a port another listens on; an exclusive one
  // is refused that port, and holds its own against such a socket.
  const BOOL yes = TRUE;
  setsockopt(static_cast<SOCKET>(sock), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
             sizeof yes);
}

}  // namespace platform
