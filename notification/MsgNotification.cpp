#include "notification/MsgNotification.h"

#include <utility>

namespace notification {

MsgNotification::MsgNotification(transport::message_ptr message) : message(std::move(message)) {}

void MsgNotification::setConnection(transport::connection_ptr connection) {
    this->connection = std::move(connection);
}

transport::connection_ptr MsgNotification::getConnection() const {
    return connection;
}

transport::message_ptr MsgNotification::getMessage() const {
    return message;
}

}  // namespace notification
