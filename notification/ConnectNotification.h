#pragma once

#include "notification/Notification.h"
#include "notification/WebSocketTypes.h"

namespace notification {

// An event about one WebSocket connection. Shares ownership of the connection object.
class ConnectNotification : public Notification {
  public:
    explicit ConnectNotification(connection_ptr connection);

    connection_ptr getConnection() const;

  private:
    connection_ptr connection;
};

}  // namespace notification
