#include "notification/ConnectNotification.h"

#include <utility>

namespace notification {

ConnectNotification::ConnectNotification(connection_ptr connection)
    : connection(std::move(connection)) {}

connection_ptr ConnectNotification::getConnection() const {
    return connection;
}

}  // namespace notification
