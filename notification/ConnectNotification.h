#pragma once

#include "notification/Notification.h"
#include "transport/WebSocketTypes.h"

namespace notification {

// An event about one WebSocket connection. Shares ownership of the connection object.
class ConnectNotification : public Notification {
  public:
    explicit ConnectNotification(transport::connection_ptr connection);

    transport::connection_ptr getConnection() const;

  private:
    transport::connection_ptr connection;
};

}  // namespace notification
