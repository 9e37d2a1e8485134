#pragma once

#include <string>

#include "notification/PluginNotification.h"

namespace notification {

// Command: load the named module (UTF-8 file name or path) for this connection.
class LoadPluginNotification : public PluginNotification {
  public:
    explicit LoadPluginNotification(const char* module);
    // Takes over a name the caller no longer needs.
    explicit LoadPluginNotification(std::string module);

    std::string getModule() const;
    // Whether the page asked for the module to run in a host process of its own.
    bool isIsolated() const { return isolated; }
    void setIsolated(bool value) { isolated = value; }

  private:
    std::string module;
    bool isolated = false;
};

}  // namespace notification
