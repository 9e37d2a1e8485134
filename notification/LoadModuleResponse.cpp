#include "notification/LoadModuleResponse.h"

#include <utility>

namespace notification {

LoadModuleResponse::LoadModuleResponse(bool success, std::string text)
    : ResponseNotification(success), text(std::move(text)) {}

std::string LoadModuleResponse::responseText() const {
    return text;
}

const std::string& LoadModuleResponse::responseTextView(std::string&) const {
    return text;
}

}  // namespace notification
