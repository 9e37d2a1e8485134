#pragma once

#include <memory>

#include "notification/ConnectNotification.h"
#include "transport/ReplySink.h"

namespace notification {

// Posted by the front end once per connection: the connection has completed its opening handshake
// and is open. Carries where the connection's replies go; the plug-in host shares it.
class ConnectReadyNotification : public ConnectNotification {
  public:
    ConnectReadyNotification(transport::connection_ptr connection,
                             std::shared_ptr<transport::ReplySink> replies);

    std::shared_ptr<transport::ReplySink> getReplies() const;

    std::string description() const override;

  private:
    std::shared_ptr<transport::ReplySink> replies;
};

}  // namespace notification
