#include "app/BrokerRefusal.h"

BrokerRefusal::BrokerRefusal(const std::string& reason, bool anotherCopy)
    : std::runtime_error(reason), duplicate(anotherCopy) {}
