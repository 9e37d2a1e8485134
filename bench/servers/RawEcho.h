#pragma once

#include <atomic>

namespace rawecho {

// Listens on 127.0.0.1:`port` (0: any free port). Returns the socket, or -1; `boundPort` gets the
// port actually bound.
int listenLoopback(int port, int& boundPort);

// Echoes every byte received on every accepted connection back to its sender, on one thread with
// epoll, until `stop` becomes true (checked at least every 100 ms). A connection whose echo cannot
// be written yet is not read further until it drains, so memory stays bounded.
void serve(int listenFd, const std::atomic<bool>& stop);

}  // namespace rawecho
