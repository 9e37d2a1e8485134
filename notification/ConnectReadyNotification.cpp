#include "notification/ConnectReadyNotification.h"

#include <utility>

namespace notification {

ConnectReadyNotification::ConnectReadyNotification(transport::connection_ptr connection,
                                                   std::shared_ptr<transport::ReplySink> replies)
    : ConnectNotification(std::move(connection)), replies(std::move(replies)) {}

std::shared_ptr<transport::ReplySink> ConnectReadyNotification::getReplies() const {
    return replies;
}

std::string ConnectReadyNotification::description() const {
    return "new connection...";
}

}  // namespace notification
