#pragma once

#include <cstdint>
#include <string>

#include "Histogram.h"

namespace loadgen {

// Connection set-up: `connections` slots open together and each, over and over, connects, makes
// the WebSocket handshake, closes with a close frame and waits for the server to end the TCP
// connection, then opens the next one. Counts the cycles that complete inside the measured window.
struct ConnectRateConfig {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 1;
    double warmupSeconds = 0;
    double durationSeconds = 1;
};

struct ConnectRateResult {
    Histogram setUpNs;  // from connect() to the handshake's answer, cycles begun after the warm-up
    std::uint64_t cycles = 0;          // every completed cycle
    std::uint64_t measuredCycles = 0;  // cycles that ended inside the measured window
    std::uint64_t errors = 0;
    double measuredSeconds = 0;
    std::string firstError;
    bool ok() const { return errors == 0 && firstError.empty(); }
};

ConnectRateResult runConnectRate(const ConnectRateConfig& config);

}  // namespace loadgen
