#include "notification/InvokeFunctionResponse.h"

#include <utility>

namespace notification {

InvokeFunctionResponse::InvokeFunctionResponse(bool success, std::string text)
    : ResponseNotification(success), text(std::move(text)) {}

std::string InvokeFunctionResponse::responseText() const {
    return text;
}

const std::string& InvokeFunctionResponse::responseTextView(std::string&) const {
    return text;
}

}  // namespace notification
