#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

namespace transport {

// Keeps a log line about the same thing (a user whose connections are refused, say) from being
// written more than once per quiet period: the first line about a key is written, and those that
// would follow within `quiet` of it are counted instead; the count goes on the next line about
// that key. At most `maxKeys` keys are remembered (beyond that all are forgotten at once), so a
// peer cannot grow it without end. Not thread-safe.
class QuietPeriods {
  public:
    QuietPeriods(std::chrono::seconds quiet, std::size_t maxKeys);

    // True when a line about `key` may be written now; `heldBack` is then how many were not
    // written since the last one. False when it is to be counted instead.
    bool mayWrite(const std::string& key, unsigned long& heldBack);

  private:
    struct Quiet {
        std::chrono::steady_clock::time_point until;
        unsigned long heldBack = 0;
    };

    const std::chrono::seconds quiet;
    const std::size_t maxKeys;
    std::map<std::string, Quiet> keys;
};

}  // namespace transport
