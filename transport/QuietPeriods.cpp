#include "transport/QuietPeriods.h"

namespace transport {

QuietPeriods::QuietPeriods(std::chrono::seconds quiet, std::size_t maxKeys)
    : quiet(quiet), maxKeys(maxKeys) {}

bool QuietPeriods::mayWrite(const std::string& key, unsigned long& heldBack) {
    const auto now = std::chrono::steady_clock::now();
    auto entry = keys.find(key);
    if (entry != keys.end() && now < entry->second.until) {
        ++entry->second.heldBack;
        return false;
    }
    if (entry == keys.end()) {
        if (keys.size() >= maxKeys) {
            keys.clear();
        }
        entry = keys.emplace(key, Quiet()).first;
    }
    heldBack = entry->second.heldBack;
    entry->second.heldBack = 0;
    entry->second.until = now + quiet;
    return true;
}

}  // namespace transport
