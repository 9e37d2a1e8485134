#include "notification/ResponseNotification.h"

namespace notification {

ResponseNotification::ResponseNotification(bool success) : success(success) {}

bool ResponseNotification::getSuccess() const { return success; }

std::string ResponseNotification::responseText() const {
    return "Response of " + getMsgId() + ":" + (success ? "success" : "faild");
}

}  // namespace notification
