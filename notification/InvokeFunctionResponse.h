#pragma once

#include <string>

#include "notification/ResponseNotification.h"

namespace notification {

// The reply to an invoke request: its text is sent as "Response" unchanged.
class InvokeFunctionResponse : public ResponseNotification {
  public:
    InvokeFunctionResponse(bool success, std::string text);

    std::string responseText() const override;
    const std::string& responseTextView(std::string& scratch) const override;

  private:
    std::string text;
};

}  // namespace notification
