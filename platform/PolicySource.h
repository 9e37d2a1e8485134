#pragma once

#include <string>

namespace platform {

// Where the administrator's policy is stored on this platform, and reading it once.
//
// Linux: the file /etc/ravelink/policy.json, trusted only when it and its folder are owned by root
// and writable by nobody else. Windows: the values under HKLM\Software\Policies\ravelink, which
// only an administrator (or Group Policy) can write; they are handed on written out as one JSON
// object, so both platforms' policies are read by the same rules.
class PolicySource {
  public:
    enum Status {
        kAbsent,     // no policy at all: the program behaves as it always has
        kUntrusted,  // a policy that anyone but an administrator could have written; `reason`
                     // says why
        kFailed,     // a policy is there but cannot be read; `reason` says why
        kFound,      // `json` holds the policy
    };

    static Status read(std::string& json, std::string& reason);

    // The place read() looks at, as an administrator would write it.
    static const char* location();
};

}  // namespace platform
