#pragma once

#include "notification/Notification.h"
#include "notification/WebSocketTypes.h"

namespace notification {

// One complete data message received on a connection. The payload is shared with the WebSocket
// library's message object, never copied.
class MsgNotification : public Notification {
  public:
    explicit MsgNotification(message_ptr message);

    // The front end sets the connection after construction and before posting.
    void setConnection(connection_ptr connection);

    connection_ptr getConnection() const;
    message_ptr getMessage() const;

  private:
    connection_ptr connection;
    message_ptr message;
};

}  // namespace notification
