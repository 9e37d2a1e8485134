#pragma once

#include <ostream>

#include "policy/Policy.h"

namespace policy {

// Reads the machine's policy once, at start-up, from where the platform keeps it
// (platform::PolicySource), and says on the error log what came of it.
class PolicyReader {
  public:
    // No policy: returns none and writes nothing, so the program behaves and logs exactly as it
    // would without this feature. Otherwise writes one line to `errorLog`: what is in force; or
    // why a policy cannot be used: it cannot be read or parsed, or others than an administrator
    // could have written it (everything is then refused). Warnings about weak
    // settings follow on lines of their own.
    static Policy readMachinePolicy(std::ostream& errorLog);
};

}  // namespace policy
