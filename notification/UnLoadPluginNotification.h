#pragma once

#include "notification/Notification.h"

namespace notification {

// Command: release every module of this connection. Posted when the connection closes. It is not a
// PluginNotification and carries no "MsgId".
class UnLoadPluginNotification : public Notification {};

}  // namespace notification
