#include "notification/ConnectCloseNotification.h"

#include <utility>

namespace notification {

ConnectCloseNotification::ConnectCloseNotification(transport::connection_ptr connection)
    : ConnectNotification(std::move(connection)) {}

std::string ConnectCloseNotification::description() const {
    return "connection closing ...";
}

}  // namespace notification
