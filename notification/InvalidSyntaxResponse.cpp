#include "notification/InvalidSyntaxResponse.h"

#include <utility>

namespace notification {

InvalidSyntaxResponse::InvalidSyntaxResponse(std::string reason)
    : ResponseNotification(false), reason(std::move(reason)) {
    setMsgId("InvalidSyntax");
}

std::string InvalidSyntaxResponse::responseText() const {
    return "Invalid syntax, reason: " + reason;
}

}  // namespace notification
