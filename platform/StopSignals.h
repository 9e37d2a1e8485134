#pragma once

#include <vector>

namespace platform {

// The signals that ask the program to stop serving. On receiving one it stops accepting, closes
// every page's connection (releasing their modules) and returns from main with 0, so a service
// manager's stop, or Ctrl-C in a terminal, ends it as cleanly as running out of work would.
class StopSignals {
  public:
    // Signal numbers to catch; empty where the program gets no such signals.
    static std::vector<int> numbers();
};

}  // namespace platform
