#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "transport/FlowControlled.h"

namespace transport {

// Bounds the memory that replies waiting to be sent and requests waiting to be handled can take,
// per connection and in total. The policy object: it keeps the totals, and its bookkeeping for
// each connection lives in that connection's own record (FlowControlled).
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
// requests are held the same way and handled once the answer is in (see holdRequests). It is still
// read meanwhile. A held request weighs its bytes plus the bookkeeping of holding it
// (kRequestOverhead), so a flood of empty messages weighs too; held requests count toward their
// connection's bound and the total like unsent replies. Once a connection's replies and held
// requests together weigh more than its bound, or it holds another request while the total is
// crossed, reading stops until its held requests have been handled.
//
// The backlog cannot see a reply being freed: its owner calls poll() every few milliseconds while
// pending() is true, with every connection for which weighs() is true, starting when the backlog
// calls the owner's watcher (see watchWith). Single-threaded, like the
// endpoint. Connections are not owned; each is removed once, when it closes, and not used by the
// backlog after that.
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
    // What holding one request costs beside its payload: the library's message object, the
    // closure that handles it later, the queue entry. Measured at about 230 bytes on 64-bit Linux
    // (500,000 empty messages held took 111 MiB); rounded up.
    static constexpr std::size_t kRequestOverhead = 512;
    // Replies and requests drained (sent, handled or dropped) adding up to this much since the
    // last time count as a large drain.
    static constexpr std::size_t kLargeDrain = 16 * kMiB;

    explicit ReplyBacklog(std::size_t connectionBound = kConnectionBound,
                          std::size_t totalBound = kTotalBound);
    ReplyBacklog(const ReplyBacklog&) = delete;
    ReplyBacklog& operator=(const ReplyBacklog&) = delete;

    // `watcher` is called whenever pending() turns true, wherever that happens (a reply sent from
    // a request, or from a call answered later), so the owner starts polling.
    void watchWith(std::function<void()> watcher) { this->watcher = std::move(watcher); }

    // Its connection has closed: drops its held requests, takes its weight off the total, and
    // ignores it from now on.
    void remove(FlowControlled& connection);

    // Handles one request of `connection` now, or holds it while the connection is paused, holds
    // its requests or still holds earlier ones. `bytes` is what the request's payload weighs.
    void handle(FlowControlled& connection, std::function<void()> request, std::size_t bytes = 0);

    // Whether handle() would hold a request of `connection` now; when not, the caller may handle
    // it directly (and spare wrapping it).
    static bool wouldHold(const FlowControlled& connection) {
        const FlowControlled::Flow& flow = connection.flow;
        return flow.paused || flow.holdRequests || !flow.held.empty();
    }

    // Starts or ends holding the requests of `connection` while one of its calls is answered
    // later. Ending it handles the held ones in order (unless the connection is paused for its
    // replies, or a held request starts holding again).
    void holdRequests(FlowControlled& connection, bool hold);

    // Called after every reply handed to `connection`; pauses it when a bound is crossed.
    void replySent(FlowControlled& connection);

    // Whether poll() must be given `connection`: it has unsent replies or is paused.
    static bool weighs(const FlowControlled& connection) { return connection.flow.weighing; }

    // Looks again at `weighing` (every connection for which weighs() is true), resumes those that
    // have drained enough and handles their held requests. The caller keeps them alive meanwhile.
    void poll(const std::vector<FlowControlled*>& weighing);

    // Whether poll() has anything to look at.
    bool pending() const { return weighingCount > 0; }

    // True once after replies and requests of kLargeDrain or more have drained (been freed), or a
    // connection that had been paused or had stopped being read was removed (what it kept goes
    // with it): the freed memory may go back to the system once they are gone.
    bool takeLargeDrain();

    std::size_t total() const { return totalWeight; }
    static bool paused(const FlowControlled& connection) { return connection.flow.paused; }

  private:
    using Flow = FlowControlled::Flow;

    void observe(FlowControlled& connection);
    bool mayResume(const Flow& flow) const;
    // Handles held requests of a connection that is neither paused nor holding, in order, until
    // none is left or one of them pauses it or makes it hold; then reads it again.
    void drain(FlowControlled& connection);
    void stopReading(FlowControlled& connection);
    void setWeighing(Flow& flow, bool weighing);

    std::function<void()> watcher;
    const std::size_t connectionBound;
    const std::size_t totalBound;
    std::size_t weighingCount = 0;  // connections whose flow.weighing is set
    std::size_t totalWeight = 0;
    std::size_t drainedWeight = 0;  // drained since takeLargeDrain() last said so
    bool heavyRemoved = false;
};

}  // namespace transport
