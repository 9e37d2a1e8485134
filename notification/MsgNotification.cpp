#include "notification/MsgNotification.h"

#include <utility>

namespace notification {

MsgNotification::MsgNotification(message_ptr message) : message(std::move(message)) {}

void MsgNotification::setConnection(connection_ptr connection) {
    this->connection = std::move(connection);
}

connection_ptr MsgNotification::getConnection() const {
    return connection;
}

message_ptr MsgNotification::getMessage() const {
    return message;
}

}  // namespace notification
