#pragma once

#include <stdexcept>
#include <string>

// The endpoint could not listen on its address: the port is taken, or the address cannot be
// resolved, bound or listened on. what() names the address and the cause.
class ListenError : public std::runtime_error {
  public:
    explicit ListenError(const std::string& cause);
};
