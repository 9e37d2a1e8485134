#pragma once

#include <memory>
#include <mutex>

#include "notification/AbstractObserver.h"

namespace notification {

// Binds one notification class to one member function of one target.
//
// The observer does not own its target: whoever registers it must make sure the target outlives
// every center holding a copy. In ravelink that is always so, because each target owns the centers
// it registers on.
//
// A callback receives notifications of NotificationType and of every class derived from it; other
// notifications are ignored. The observer's mutex is held while the callback runs, so disable()
// from another thread waits for a running callback. The lock is not recursive: a callback must not
// cause a notification to reach this same observer again.
template <class Target, class NotificationType>
class Observer : public AbstractObserver {
  public:
    using Callback = void (Target::*)(std::shared_ptr<NotificationType>);

    Observer(Target* target, Callback callback) : target(target), callback(callback) {}

    // Copies target and callback; the copy gets a mutex of its own. A copy of a disabled observer
    // is disabled as well.
    Observer(const Observer& other)
        : AbstractObserver(other), target(other.target), callback(other.callback) {}

    Observer& operator=(const Observer&) = delete;

    void notify(std::shared_ptr<Notification> notification) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (target == nullptr) {
            return;
        }
        std::shared_ptr<NotificationType> typed =
            std::dynamic_pointer_cast<NotificationType>(std::move(notification));
        if (!typed) {
            return;
        }
        (target->*callback)(std::move(typed));
    }

    bool equals(const AbstractObserver& other) const override {
        const Observer* same = dynamic_cast<const Observer*>(&other);
        return same != nullptr && same->target == target && same->callback == callback;
    }

    bool accepts(std::shared_ptr<Notification> notification) const override {
        return dynamic_cast<NotificationType*>(notification.get()) != nullptr;
    }

    AbstractObserver* clone() const override { return new Observer(*this); }

    void disable() override {
        std::lock_guard<std::mutex> lock(mutex);
        target = nullptr;
    }

  private:
    Target* target;  // not owned; null once disabled
    Callback callback;
    std::mutex mutex;  // guards target; held while the callback runs
};

}  // namespace notification
