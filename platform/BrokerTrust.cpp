// The broker's and the copies' decisions about each other and about pages' connections, from what
// the system reported (see platform/posix/PosixBroker.cpp, platform/win32/Win32Broker.cpp), built
// on every target so that their tables of cases run everywhere.

#include "platform/BrokerTrust.h"

namespace platform {

namespace {

std::string who(const std::string& user, unsigned long session) {
    return user + " in logon session " + std::to_string(session);
}

std::string process(long long processId) {
    return processId >= 0 ? "process id " + std::to_string(processId) : "process id not known";
}

}  // namespace

std::string BrokerTrust::accountKey(const std::string& user, unsigned long session) {
    return user + "/" + std::to_string(session);
}

BrokerTrust::Admission BrokerTrust::admitCopy(const BrokerChannel::Peer& copy,
                                              const std::string& claimedUser,
                                              unsigned long claimedSession) {
    Admission admission;
    if (!copy.known) {
        admission.reason = "the system could not tell who the process is (" + copy.failure + ")";
        return admission;
    }
    if (claimedUser != copy.user || claimedSession != copy.session) {
        admission.reason = "it says it runs as " + who(claimedUser, claimedSession) +
                           ", but the system reports " + who(copy.user, copy.session) + " (" +
                           process(copy.processId) + ")";
        return admission;
    }
    admission.admitted = true;
    admission.key = accountKey(copy.user, copy.session);
    return admission;
}

bool BrokerTrust::trustsBroker(const BrokerChannel::Peer& broker, const std::string& systemUser,
                               std::string& reason) {
    if (!broker.known) {
        reason = "the system could not tell who serves the broker channel (" + broker.failure + ")";
        return false;
    }
    if (!broker.user.empty() && (broker.user == systemUser || broker.user == broker.ownUser)) {
        return true;
    }
    reason = "the broker channel is served by " + broker.user + " (" + process(broker.processId) +
             "), neither the system account (" + systemUser + ") nor this copy's own (" +
             broker.ownUser + ")";
    return false;
}

BrokerTrust::Handoff BrokerTrust::route(
    const LoopbackPeerOwner::Finding& owner,
    const std::function<bool(const std::string& key)>& registered, const std::string& onlyCopyKey) {
    Handoff handoff;
    switch (owner.verdict) {
        case LoopbackPeerOwner::kNotRecorded:
            // No owner to go by: only where a single copy could be meant is it handed over.
            if (!onlyCopyKey.empty()) {
                handoff.route = Route::toCopy;
                handoff.key = onlyCopyKey;
            }
            return handoff;
        case LoopbackPeerOwner::kUnknown:
            return handoff;
        case LoopbackPeerOwner::kSameUser:
        case LoopbackPeerOwner::kOtherUser:
        case LoopbackPeerOwner::kOtherSession:
            break;
    }
    if (owner.user.empty()) {
        return handoff;
    }
    handoff.key = accountKey(owner.user, owner.session);
    handoff.route = registered(handoff.key) ? Route::toCopy : Route::noCopy;
    return handoff;
}

}  // namespace platform
