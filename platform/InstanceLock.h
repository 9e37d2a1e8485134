#pragma once

namespace platform {

// The single-instance claim of this logon session. The claim lasts as long as the object, and the
// operating system drops it when the process dies, however it dies.
//
// Only a copy of the same account counts: on Linux, where any account could claim this user's name
// first, a claim held by another account is not "another copy", and this copy runs unguarded.
//
// The lock is advisory: when the platform cannot create it for a reason other than another copy
// holding it, anotherCopyRuns() is false and the program runs unguarded.
class InstanceLock {
  public:
    InstanceLock();
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    bool anotherCopyRuns() const { return heldElsewhere; }

  private:
    long long handle;  // a HANDLE or a file descriptor; -1 when none is held
    bool heldElsewhere;
};

}  // namespace platform
