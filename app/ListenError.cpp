#include "app/ListenError.h"

ListenError::ListenError(const std::string& cause)
    : std::runtime_error("cannot listen on 127.0.0.1:7321: " + cause) {}
