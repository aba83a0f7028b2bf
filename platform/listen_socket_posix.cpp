#include <sys/socket.h>

#include "platform/listen_socket.h"

namespace platform {

void ListenAlone(uintptr_t sock) {
  // SO_REUSEADDR alone: a port left in TIME_WAIT is bound again, one with a listener is not (no
  // SO_REUSEPORT, which would let two listeners share it).
  const int yes = 1;
  setsockopt(static_cast<int>(sock), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace platform
