#include "notification/LoadPluginNotification.h"

namespace notification {

LoadPluginNotification::LoadPluginNotification(const char* module) : module(module) {}

std::string LoadPluginNotification::getModule() const { return module; }

}  // namespace notification
