#pragma once

#include <memory>

#include "notification/Notification.h"

namespace notification {

// What a NotificationCenter holds for each registration.
//
// Contract:
//  - notify() is called for every notification posted to the center, whatever its class; the
//    observer itself decides whether it is interested (see Observer).
//  - clone() returns a new heap object owned by the caller. The center registers clones, never the
//    caller's object.
//  - After disable() returns, no callback of this observer starts again.
class AbstractObserver {
  public:
    AbstractObserver() = default;
    AbstractObserver(const AbstractObserver&) = default;
    AbstractObserver& operator=(const AbstractObserver&) = delete;

    virtual ~AbstractObserver();

    virtual void notify(std::shared_ptr<Notification> notification) = 0;
    virtual bool equals(const AbstractObserver& other) const = 0;
    virtual bool accepts(std::shared_ptr<Notification> notification) const = 0;
    virtual AbstractObserver* clone() const = 0;
    virtual void disable() = 0;
};

}  // namespace notification
