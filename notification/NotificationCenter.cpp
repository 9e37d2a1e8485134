#include "notification/NotificationCenter.h"

#include <utility>

namespace notification {

void NotificationCenter::addObserver(const AbstractObserver& observer) {
    std::lock_guard<std::mutex> lock(mutex);
    // Owned by a shared pointer before the list grows, so a failed growth frees the clone.
    std::shared_ptr<AbstractObserver> registration(observer.clone());
    observers.push_back(std::move(registration));
}

void NotificationCenter::postNotification(std::shared_ptr<Notification> notification) {
    if (!notification) {
        return;
    }
    std::vector<std::shared_ptr<AbstractObserver>> snapshot;
    {
        std::lock_guard<std::mutex> lock(mutex);
        snapshot = observers;
    }
    for (const std::shared_ptr<AbstractObserver>& observer : snapshot) {
        observer->notify(notification);
    }
}

}  // namespace notification
