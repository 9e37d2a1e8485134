#pragma once

#include <cstdint>

namespace platform {

// Socket options of the listening socket that differ between platforms.
class ListenOptions {
  public:
    // Whether the listener sets address reuse. Where reuse only lets a restart bind over
    // connections left in TIME_WAIT, it is on; where it would let another program share the port,
    // it is off.
    static bool reuseAddress();

    // Sets what else the platform needs on the listening socket `nativeSocket` (its native handle),
    // after it is opened and before it is bound. Windows: SO_EXCLUSIVEADDRUSE, so that no other
    // program can bind the port beside this one, whatever options it sets. Returns 0, or the
    // platform's error code.
    static int prepare(std::uintptr_t nativeSocket);
};

}  // namespace platform
