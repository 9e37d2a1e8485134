#pragma once

#include "notification/Notification.h"
#include "transport/WebSocketTypes.h"

namespace notification {

// One complete data message received on a connection. The payload is shared with the WebSocket
// library's message object, never copied.
class MsgNotification : public Notification {
  public:
    explicit MsgNotification(transport::message_ptr message);

    // The front end sets the connection after construction and before posting.
    void setConnection(transport::connection_ptr connection);

    transport::connection_ptr getConnection() const;
    transport::message_ptr getMessage() const;

  private:
    transport::connection_ptr connection;
    transport::message_ptr message;
};

}  // namespace notification
