#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <utility>

namespace transport {

class ReplyBacklog;

// One connection as the reply backlog sees it: how many reply bytes still wait to be sent (and so
// still take memory, the write in progress included), a valve on reading its requests, and the
// backlog's bookkeeping for it. The bookkeeping lives here, in the connection's own record (see
// ServedConnection), so that the backlog keeps no table of connections beside the program's one;
// only the ReplyBacklog reads or changes it.
class FlowControlled {
  public:
    FlowControlled() = default;
    virtual ~FlowControlled() = default;
    FlowControlled(const FlowControlled&) = delete;
    FlowControlled& operator=(const FlowControlled&) = delete;

    virtual std::size_t unsentBytes() const = 0;
    // Reading stops after the data already read; resume picks up where it stopped, nothing lost.
    virtual void pauseReading() = 0;
    virtual void resumeReading() = 0;

  private:
    friend class ReplyBacklog;

    struct Flow {
        // Unsent replies as last weighed: their bytes plus the library's bookkeeping.
        std::size_t replyWeight = 0;
        std::size_t repliesSinceEmpty = 0;  // replies sent since nothing was unsent
        // Requests read and not yet handled, in order, each with its weight (its bytes plus the
        // bookkeeping of holding it); owned here until handled or dropped.
        std::deque<std::pair<std::function<void()>, std::size_t>> held;
        std::size_t heldWeight = 0;
        bool paused = false;  // for its unsent replies
        bool everPaused = false;
        // Set through ReplySink::holdRequests: a call of it is answered later, so its requests
        // are held until the answer is in.
        bool holdRequests = false;
        bool readingStopped = false;  // pauseReading() has been called and not yet undone
        bool weighing = false;        // poll() must look at it: unsent replies, or paused
        bool removed = false;         // its connection has closed; the backlog ignores it
    };
    Flow flow;
};

}  // namespace transport
