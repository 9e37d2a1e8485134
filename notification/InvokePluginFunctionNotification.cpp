#include "notification/InvokePluginFunctionNotification.h"

#include <utility>

namespace notification {

InvokePluginFunctionNotification::InvokePluginFunctionNotification(const char* function,
                                                                   const char* param)
    : function(function), param(param) {}

InvokePluginFunctionNotification::InvokePluginFunctionNotification(std::string function,
                                                                   std::string param)
    : function(std::move(function)), param(std::move(param)) {}

const char* InvokePluginFunctionNotification::getFunction() const {
    return function.c_str();
}

const char* InvokePluginFunctionNotification::getParam() const {
    return param.c_str();
}

std::string InvokePluginFunctionNotification::description() const {
    return "user calling function: " + function + "\n" +
           "length of param: " + std::to_string(param.size()) + "\n";
}

}  // namespace notification
