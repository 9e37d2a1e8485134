#pragma once

#include "notification/ConnectNotification.h"

namespace notification {

// Posted by the front end once per connection: the connection that was open has ended, whatever the
// cause.
class ConnectCloseNotification : public ConnectNotification {
  public:
    explicit ConnectCloseNotification(transport::connection_ptr connection);

    std::string description() const override;
};

}  // namespace notification
