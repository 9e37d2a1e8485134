#pragma once

#include <string>

#include "notification/PluginNotification.h"

namespace notification {

// A reply to the page. The reply writer reads getMsgId(), getSuccess() and responseText().
// A plain ResponseNotification is the reply to an unload.
class ResponseNotification : public PluginNotification {
  public:
    explicit ResponseNotification(bool success);

    bool getSuccess() const;

    // The reply's "Response" text.
    virtual std::string responseText() const;

    // The same text as responseText(), by reference: where a response stores its text, the text
    // itself (an answer may be tens of megabytes); otherwise `scratch`, filled with responseText().
    virtual const std::string& responseTextView(std::string& scratch) const;

  private:
    bool success;
};

}  // namespace notification
