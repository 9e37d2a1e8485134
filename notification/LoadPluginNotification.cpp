#include "notification/LoadPluginNotification.h"

#include <utility>

namespace notification {

LoadPluginNotification::LoadPluginNotification(const char* module) : module(module) {}

LoadPluginNotification::LoadPluginNotification(std::string module) : module(std::move(module)) {}

std::string LoadPluginNotification::getModule() const {
    return module;
}

}  // namespace notification
