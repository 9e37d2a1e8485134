#include "notification/PluginNotification.h"

#include <utility>

namespace notification {

std::string PluginNotification::getMsgId() const {
    return msgId;
}

void PluginNotification::setMsgId(std::string msgId) {
    this->msgId = std::move(msgId);
}

}  // namespace notification
