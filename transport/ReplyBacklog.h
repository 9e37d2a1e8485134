#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <set>

#include "transport/FlowControlled.h"

namespace transport {

// Bounds the memory that replies waiting to be sent can take, per connection and in total.
//
// A reply waits from the moment it is handed to the library until the library has freed it, which
// it does once the write carrying it has completed (the kernel has taken all its bytes); messages
// that wait behind a write in progress and the ones in that write all count. A reply costs its
// bytes plus the library's bookkeeping for one queued message; the backlog weighs a connection's
// waiting replies that way. Once a connection weighs more than its bound, its requests are no
// longer read: requests already read are held, in order, and handled once its weight has fallen to
// half the bound. A page that reads its replies late loses nothing; one that never reads them
// costs at most the bound plus the one reply that crossed it (and the requests of one read).
//
// Once all connections together weigh more than the total bound, every connection stops being
// read on its next reply that is not sent at once, and is read again when it has nothing unsent or
// the total has fallen to three quarters of the bound. So beyond the total, pages that read their
// replies are still served (a reply at a time, each as soon as the previous one has gone), while
// those that do not read add nothing more: all together cost at most the total bound plus one
// reply per connection. Measured with pages asking for answers of 1 MiB and never reading, the
// whole program peaked at 70 MiB resident with one page and 275 MiB with sixteen. What the kernel
// has taken and the peer not yet read lies in its socket buffers, outside these bounds and outside
// the program's memory.
//
// A connection also waits while one of its calls is answered later (by a host process): its
// requests are held the same way and handled once the answer is in (see awaitAnswer). It is still
// read meanwhile, so that a page closing while its call hangs is seen to close; only once its held
// requests weigh more than its bound does reading stop until the answer is in.
//
// The backlog cannot see a reply being freed: its owner calls poll() every few milliseconds while
// pending() is true. Single-threaded, like the endpoint. Connections are not owned; each is
// removed before it goes.
class ReplyBacklog {
  public:
    static constexpr std::size_t kMiB = 1024 * 1024;
    // Two maximum-size messages (32,000,000 bytes) per connection; the total allows four such
    // connections.
    static constexpr std::size_t kConnectionBound = 64 * kMiB;
    static constexpr std::size_t kTotalBound = 256 * kMiB;
    // What the library spends on one queued message beside its payload (message object, its
    // buffers, queue entries), rounded up; and the shortest reply there is.
    static constexpr std::size_t kReplyOverhead = 512;
    static constexpr std::size_t kShortestReply = 40;
    // Replies drained (sent or dropped) adding up to this much since the last time count as a
    // large drain.
    static constexpr std::size_t kLargeDrain = 16 * kMiB;

    explicit ReplyBacklog(std::size_t connectionBound = kConnectionBound,
                          std::size_t totalBound = kTotalBound);
    ReplyBacklog(const ReplyBacklog&) = delete;
    ReplyBacklog& operator=(const ReplyBacklog&) = delete;

    void add(FlowControlled* connection);
    // Drops the connection's held requests and its share of the total.
    void remove(FlowControlled* connection);

    // Handles one request of `connection` now, or holds it while the connection is paused or
    // waits for an answer. A connection not added is never held. `bytes` is what the request
    // weighs (its payload).
    void handle(FlowControlled* connection, std::function<void()> request, std::size_t bytes = 0);

    // Whether handle() would hold a request of `connection` now; when not, the caller may handle
    // it directly (and spare wrapping it).
    bool holding(FlowControlled* connection) const;

    // Starts or ends a wait for an answer of `connection`. While it waits its requests are held;
    // ending the wait handles the held ones in order (unless the connection is paused
    // for its replies, or a held request starts another wait).
    void awaitAnswer(FlowControlled* connection, bool waiting);

    // Called after every reply handed to `connection`; pauses it when a bound is crossed.
    void replySent(FlowControlled* connection);

    // Looks again at every connection with unsent replies, resumes those that have drained enough
    // and handles their held requests.
    void poll();

    // Whether poll() has anything to look at.
    bool pending() const;

    // True once after replies of kLargeDrain or more have drained (been freed), or a connection
    // that had been paused was removed (its replies go with it): the freed memory may go back to
    // the system once they are gone.
    bool takeLargeDrain();

    std::size_t total() const { return totalWeight; }
    bool paused(FlowControlled* connection) const;

  private:
    struct State {
        std::size_t weight = 0;
        std::size_t repliesSinceEmpty = 0;  // replies sent since nothing was unsent
        bool paused = false;
        bool everPaused = false;
        bool awaiting = false;        // a call of it is answered later
        bool readingStopped = false;  // pauseReading() has been called and not yet undone
        std::deque<std::pair<std::function<void()>, std::size_t>> held;
        std::size_t heldBytes = 0;
    };

    void observe(FlowControlled* connection, State& state);
    bool mayResume(const State& state) const;
    void resume(FlowControlled* connection);
    // Handles held requests of a connection that is neither paused nor waiting, in order, until
    // none is left or one of them pauses it or makes it wait; then reads it again.
    void drain(FlowControlled* connection);
    void stopReading(FlowControlled* connection, State& state);

    const std::size_t connectionBound;
    const std::size_t totalBound;
    std::map<FlowControlled*, State> states;
    std::set<FlowControlled*> weighing;  // weight above zero or paused
    std::size_t totalWeight = 0;
    std::size_t drainedWeight = 0;  // drained since takeLargeDrain() last said so
    bool heavyRemoved = false;
};

}  // namespace transport
