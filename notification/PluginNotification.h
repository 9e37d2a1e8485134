#pragma once

#include <string>

#include "notification/Notification.h"

namespace notification {

// A command for, or a response from, a connection's plug-in host. `msgId` becomes the reply's
// "MsgId".
class PluginNotification : public Notification {
  public:
    std::string getMsgId() const;
    void setMsgId(std::string msgId);

  private:
    std::string msgId;
};

}  // namespace notification
