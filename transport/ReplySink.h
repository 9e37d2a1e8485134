#pragma once

#include <string>

namespace transport {

// Where one connection's replies go. The plug-in host hands each reply here and never sees the
// socket; the program gives every connection one that frames and sends on the wire, tests give it
// one that records.
class ReplySink {
  public:
    virtual ~ReplySink() = default;

    // Takes over one reply, a valid UTF-8 text. A connection that is no longer open drops it: a
    // reply that cannot reach its page has nowhere else to go.
    virtual void send(std::string&& reply) = 0;

    // While true, the connection's requests that arrive are held, in order, and handled once it is
    // false again: a call answered later (by a host process) keeps its place in the reply order.
    // Sinks that serve no connection ignore it.
    virtual void holdRequests(bool) {}
};

}  // namespace transport
