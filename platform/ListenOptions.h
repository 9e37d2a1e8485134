#pragma once

namespace platform {

// Socket options of the listening socket that differ between platforms.
class ListenOptions {
  public:
    // Whether the listener sets address reuse. Where reuse only lets a restart bind over
    // connections left in TIME_WAIT, it is on; where it would let another program share the port,
    // it is off.
    static bool reuseAddress();
};

}  // namespace platform
