#include "notification/AbstractObserver.h"

namespace notification {

AbstractObserver::~AbstractObserver() = default;

}  // namespace notification
