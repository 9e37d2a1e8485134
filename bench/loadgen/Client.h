#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Histogram.h"

namespace loadgen {

enum class Protocol {
    kWebSocket,  // our own client: RFC 6455 handshake, masked frames
    kRaw,        // plain TCP, each message a 4-byte big-endian length and the payload
};

enum class Payload {
    kEcho,    // `size` bytes; the reply must be the same number of bytes
    kInvoke,  // ravelink's invoke request, padded to `size` bytes; the reply must echo MsgId,
              // Result true
};

struct Config {
    Protocol protocol = Protocol::kWebSocket;
    std::string host = "127.0.0.1";
    int port = 0;
    Payload payload = Payload::kEcho;
    std::size_t size = 64;
    std::string method = "noop";
    // When not empty, the invoke request's Param is this text instead of padding up to `size`.
    std::string param;
    // Sent on every connection before any measured request (ravelink's load request).
    std::string loadModule;
    bool isolated = false;  // load it with "Isolated":true (a host process per connection)
    int connections = 1;
    // Requests per second over all connections; 0 runs closed-loop (each connection sends its next
    // request when the previous reply arrived).
    double rate = 0;
    double warmupSeconds = 0;
    double durationSeconds = 0;  // measured time after the warm-up; used when `requests` is 0
    std::uint64_t requests = 0;  // a fixed number of requests instead of a duration
    double drainSeconds = 60;    // how long replies still in flight are awaited at the end
};

struct Result {
    Histogram latencyNs;                // replies to requests sent (or due) after the warm-up
    std::uint64_t replies = 0;          // every reply, warm-up included
    std::uint64_t measuredReplies = 0;  // replies that arrived inside the measured window
    std::uint64_t sent = 0;
    std::uint64_t errors = 0;  // wrong replies, connection failures
    double measuredSeconds = 0;
    std::string firstError;
    bool ok() const { return errors == 0 && firstError.empty(); }
};

// Runs the whole load: connects, hand-shakes, loads the module where asked, sends and times. When
// `onHold` is given it is called once the work is done, with every connection still open (for
// reading the server's memory while they sit idle); they close when it returns.
Result run(const Config& config, const std::function<void(const Result&)>& onHold = nullptr);

// The request payload that message `id` of a run under `config` carries (exposed for the tests).
std::string requestPayload(const Config& config, std::uint64_t id);

}  // namespace loadgen
