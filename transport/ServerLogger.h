#pragma once

#include <websocketpp/logger/basic.hpp>

#include "platform/StandardStreams.h"

// The WebSocket library's logger (access log on standard output, error log on standard error),
// except that it enables no channel when its stream is discarded. The library tests a channel
// before it formats a line, so a background service whose output goes nowhere pays nothing for
// its logs, while anyone who does read them sees every line as before.
template <typename Concurrency, typename Names>
class ServerLogger : public websocketpp::log::basic<Concurrency, Names> {
  public:
    using Base = websocketpp::log::basic<Concurrency, Names>;
    using level = websocketpp::log::level;
    using hint = websocketpp::log::channel_type_hint;

    explicit ServerLogger(hint::value h = hint::access) : Base(h), discarded(discards(h)) {}
    ServerLogger(level channels, hint::value h = hint::access)
        : Base(channels, h), discarded(discards(h)) {}

    void set_channels(level channels) {
        if (!discarded) {
            Base::set_channels(channels);
        }
    }

  private:
    static bool discards(hint::value h) {
        return platform::StandardStreams::isDiscarded(h == hint::error
                                                          ? platform::StandardStreams::kError
                                                          : platform::StandardStreams::kOutput);
    }

    bool discarded;
};
