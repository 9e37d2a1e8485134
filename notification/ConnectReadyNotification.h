#pragma once

#include "notification/ConnectNotification.h"

namespace notification {

// Posted by the front end once per connection: the connection has completed its opening handshake
// and is open.
class ConnectReadyNotification : public ConnectNotification {
  public:
    explicit ConnectReadyNotification(connection_ptr connection);

    std::string description() const override;
};

}  // namespace notification
