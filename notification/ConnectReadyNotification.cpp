#include "notification/ConnectReadyNotification.h"

#include <utility>

namespace notification {

ConnectReadyNotification::ConnectReadyNotification(connection_ptr connection)
    : ConnectNotification(std::move(connection)) {}

std::string ConnectReadyNotification::description() const {
    return "new connection...";
}

}  // namespace notification
