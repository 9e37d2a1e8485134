#pragma once

#include <string>

namespace notification {

// Base of every event, command and response that travels through a NotificationCenter.
//
// Notifications are always created with std::make_shared and passed around by shared pointer; they
// are never copied. A creator may fill the few settable fields between construction and posting;
// after posting nobody changes a notification.
class Notification {
  public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    // The dynamic class name as the run-time type information reports it. Only for diagnostics.
    virtual std::string name() const;
    // A human-readable text about the notification; by default its name. Only for diagnostics.
    virtual std::string description() const;
    virtual ~Notification();
};

}  // namespace notification
