#pragma once

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
    connection_ptr connection;
    ReplyBacklog& backlog;
};

}  // namespace transport
