#pragma once

#include <string>

#include "notification/ResponseNotification.h"

namespace notification {

// The reply to a request that could not be read. Always unsuccessful, always with the fixed
// "MsgId" "InvalidSyntax": the request's own identifier is never echoed.
class InvalidSyntaxResponse : public ResponseNotification {
  public:
    explicit InvalidSyntaxResponse(std::string reason);

    std::string responseText() const override;

  private:
    std::string reason;
};

}  // namespace notification
