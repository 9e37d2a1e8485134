#include "notification/ConnectNotification.h"

#include <utility>

namespace notification {

ConnectNotification::ConnectNotification(transport::connection_ptr connection)
    : connection(std::move(connection)) {}

transport::connection_ptr ConnectNotification::getConnection() const {
    return connection;
}

}  // namespace notification
