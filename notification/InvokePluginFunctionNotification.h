#pragma once

#include <string>

#include "notification/PluginNotification.h"

namespace notification {

// Command: call the loaded module's entry point with a method name and a parameter text.
class InvokePluginFunctionNotification : public PluginNotification {
  public:
    InvokePluginFunctionNotification(const char* function, const char* param);
    // Takes over texts the caller no longer needs: a parameter may be tens of megabytes.
    InvokePluginFunctionNotification(std::string function, std::string param);

    // NUL-terminated texts handed to the module; valid while this notification lives.
    const char* getFunction() const;
    const char* getParam() const;

    std::string description() const override;

  private:
    std::string function;
    std::string param;
};

}  // namespace notification
