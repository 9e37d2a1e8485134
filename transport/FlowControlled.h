#pragma once

#include <cstddef>

namespace transport {

// What the reply backlog needs of one connection: how many reply bytes still wait to be sent (and
// so still take memory, the write in progress included), and a valve on reading its requests.
class FlowControlled {
  public:
    virtual ~FlowControlled() = default;

    virtual std::size_t unsentBytes() const = 0;
    // Reading stops after the data already read; resume picks up where it stopped, nothing lost.
    virtual void pauseReading() = 0;
    virtual void resumeReading() = 0;
};

}  // namespace transport
