#pragma once

#include <deque>
#include <memory>
#include <string>

#include "transport/FlowControlled.h"
#include "transport/ReplySink.h"
#include "transport/WebSocketTypes.h"

namespace transport {

class ReplyBacklog;

// One open connection as the plug-in host and the reply backlog see it: replies go out as text
// messages, and the backlog learns of every one so it can stop reading the connection's requests
// while too much waits to be sent.
//
// A reply counts as unsent until the library has let go of its message: the library frees a
// message only once the write that carries it has completed (the kernel has taken its bytes) or
// the connection is gone. Its own buffered amount drops as soon as a write starts, while the
// messages in that write, all that had queued up behind the previous one, still take their memory
// for as long as the peer does not read.
//
// Owned by the front end from open to close (the plug-in host shares it); the backlog must outlive
// it.
class ConnectionReplySink : public ReplySink, public FlowControlled {
  public:
    ConnectionReplySink(connection_ptr connection, ReplyBacklog& backlog);

    void send(std::string&& reply) override;
    void holdRequests(bool hold) override;

    std::size_t unsentBytes() const override;
    void pauseReading() override;
    void resumeReading() override;

  private:
    struct Unsent {
        std::weak_ptr<message_ptr::element_type> message;  // expires when the library frees it
        std::size_t bytes;
    };

    connection_ptr connection;
    ReplyBacklog& backlog;
    // Replies handed to the library and not yet freed by it, oldest first (the library frees them
    // in the order they were sent), and their bytes. Trimmed as they expire, hence mutable.
    mutable std::deque<Unsent> unsent;
    mutable std::size_t unsentTotal = 0;
};

}  // namespace transport
