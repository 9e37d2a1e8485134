#pragma once

#include <websocketpp/logger/basic.hpp>

#include "platform/StandardStreams.h"
#include "transport/LogDestination.h"

// The WebSocket library's logger (access log on standard output, error log on standard error),
// except that it enables no channel when its stream is discarded. The library tests a channel
// before it formats a line, so a background service whose output goes nowhere pays nothing for
// its logs, while anyone who does read them sees every line as before.
//
// direct() sends the log elsewhere (the log file when no one reads the stream), or limits it to the
// help desk's share (see LogDestination); the channels enabled before or after are narrowed to it.
template <typename Concurrency, typename Names>
class ServerLogger : public websocketpp::log::basic<Concurrency, Names> {
  public:
    using Base = websocketpp::log::basic<Concurrency, Names>;
    using level = websocketpp::log::level;
    using hint = websocketpp::log::channel_type_hint;

    explicit ServerLogger(hint::value h = hint::access)
        : Base(h), kind(h), allowed(discards(h) ? 0 : Names::all) {}
    ServerLogger(level channels, hint::value h = hint::access)
        : Base(channels, h), kind(h), allowed(discards(h) ? 0 : Names::all) {}

    void set_channels(level channels) {
        if (channels == Names::none) {
            Base::set_channels(channels);
        } else if ((channels & allowed) != 0) {
            Base::set_channels(channels & allowed);
        }
    }

    void direct(const transport::LogDestination& destination) {
        if (destination.stream == nullptr) {
            allowed = 0;
        } else {
            Base::set_ostream(destination.stream);
            allowed = destination.helpDesk && kind == hint::access ? kHelpDeskAccess : Names::all;
        }
        Base::clear_channels(Names::all & ~allowed);
    }

  private:
    static constexpr level kHelpDeskAccess =
        websocketpp::log::alevel::connect | websocketpp::log::alevel::disconnect |
        websocketpp::log::alevel::fail | websocketpp::log::alevel::http |
        websocketpp::log::alevel::app;

    static bool discards(hint::value h) {
        return platform::StandardStreams::isDiscarded(h == hint::error
                                                          ? platform::StandardStreams::kError
                                                          : platform::StandardStreams::kOutput);
    }

    hint::value kind;
    level allowed;  // the channels that may be enabled
};
