#include "notification/ResponseNotification.h"

namespace notification {

ResponseNotification::ResponseNotification(bool success) : success(success) {}

bool ResponseNotification::getSuccess() const {
    return success;
}

const std::string& ResponseNotification::responseTextView(std::string& scratch) const {
    scratch = responseText();
    return scratch;
}

std::string ResponseNotification::responseText() const {
    return "Response of " + getMsgId() + ":" + (success ? "success" : "faild");
}

}  // namespace notification
