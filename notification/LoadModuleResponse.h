#pragma once

#include <string>

#include "notification/ResponseNotification.h"

namespace notification {

// The reply to a load request: its text is sent as "Response" unchanged.
class LoadModuleResponse : public ResponseNotification {
  public:
    LoadModuleResponse(bool success, std::string text);

    std::string responseText() const override;
    const std::string& responseTextView(std::string& scratch) const override;

  private:
    std::string text;
};

}  // namespace notification
