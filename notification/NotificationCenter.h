#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "notification/AbstractObserver.h"
#include "notification/Notification.h"

namespace notification {

// An embeddable list of observers with synchronous delivery.
//
// Contract:
//  - addObserver() registers a clone of the given observer at the end of the list; the caller keeps
//    its own object. There is no removal: an observer stays registered until the center is
//    destroyed. Registering an equal observer twice gives two registrations.
//  - postNotification() delivers on the calling thread to every registered observer, in
//    registration order, and returns when all of them have run. A null notification is ignored.
//  - Delivery works on a snapshot of the list taken when the post begins: an observer registered
//    during a delivery gets later notifications, not the current one.
//  - The center's lock guards the list only and is never held while an observer runs, so a callback
//    may post to any center (this one included) and may register observers.
//  - Nothing is caught: an exception from a callback stops delivery of that notification to the
//    observers after it and reaches the poster. The center stays usable.
//
// The center owns its registrations. Owners embed centers as plain members and are never copied.
class NotificationCenter {
  public:
    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    void addObserver(const AbstractObserver& observer);
    void postNotification(std::shared_ptr<Notification> notification);

  private:
    std::vector<std::shared_ptr<AbstractObserver>> observers;
    std::mutex mutex;  // guards observers only
};

}  // namespace notification
