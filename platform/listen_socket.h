// The options of a socket that listens for the station's page.
#pragma once

#include <cstdint>

namespace platform {

// Makes a socket, before it is bound, one that shares its port with no other socket: a bind to a
// port another program (or another station) already listens on fails, where sharing it would
// hand each connection to either of the two at random. A port whose last listener has just gone
// can be bound again at once. sock is the native handle (a file descriptor, or a Windows SOCKET).
void ListenAlone(uintptr_t sock);

}  // namespace platform
