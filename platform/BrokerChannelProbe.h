#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

// Test support, linked into the unit tests only: a client of the broker's address that sends
// bytes exactly as given, one message per send, so the tests can make what a well-behaved
// BrokerChannel never sends (a message too long, a malformed one) and see the receiving end's
// checks. Blocking calls; destroying it closes the connection.
class BrokerChannelProbe {
  public:
    // Connects to BrokerChannel's platform address; null with `error` when nothing listens.
    static std::unique_ptr<BrokerChannelProbe> connect(std::error_code& error);
    ~BrokerChannelProbe();
    BrokerChannelProbe(const BrokerChannelProbe&) = delete;
    BrokerChannelProbe& operator=(const BrokerChannelProbe&) = delete;

    // Sends `bytes` as one message; false with `error` on failure.
    bool send(const std::string& bytes, std::error_code& error);

  private:
    explicit BrokerChannelProbe(std::uintptr_t handle) : handle(handle) {}
    std::uintptr_t handle;  // a file descriptor, or a pipe HANDLE
};

}  // namespace platform
