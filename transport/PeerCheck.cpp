#include "transport/PeerCheck.h"

#include <system_error>
#include <thread>
#include <utility>

namespace transport {

namespace {

using platform::LoopbackPeerOwner;

// A bound on the users remembered, so that the memory of refusals cannot grow without end.
constexpr std::size_t kMaxQuietUsers = 256;
// Name lookups under way at once.
constexpr std::size_t kMaxLookups = 8;

const char kAdvice[] =
    "this copy serves only pages of its own user; an administrator can allow other users with "
    "AllowOtherUsers in the policy";

}  // namespace

PeerCheck::PeerCheck(std::ostream& errorLog)
    : errorLog(errorLog), quiet(std::chrono::seconds(kQuietSeconds), kMaxQuietUsers) {}

bool PeerCheck::admits(const connection_ptr& connection) {
    LoopbackPeerOwner::Finding finding;
    std::error_code localError, remoteError;
    auto& socket = connection->get_raw_socket();
    const auto local = socket.local_endpoint(localError);
    const auto remote = socket.remote_endpoint(remoteError);
    if (localError || remoteError) {
        finding.detail = "the connection's addresses could not be read (" +
                         (localError ? localError : remoteError).message() + ")";
    } else {
        finding = find(owners, local, remote);
    }
    return admits(finding);
}

LoopbackPeerOwner::Finding PeerCheck::find(
    LoopbackPeerOwner& owners, const websocketpp::lib::asio::ip::tcp::endpoint& local,
    const websocketpp::lib::asio::ip::tcp::endpoint& remote) {
    if (!local.address().is_v4() || !remote.address().is_v4()) {
        LoopbackPeerOwner::Finding finding;
        finding.detail = "not an IPv4 connection";
        return finding;
    }
    LoopbackPeerOwner::Connection addresses;
    addresses.localAddress = local.address().to_v4().to_uint();
    addresses.localPort = local.port();
    addresses.remoteAddress = remote.address().to_v4().to_uint();
    addresses.remotePort = remote.port();
    return owners.find(addresses);
}

bool PeerCheck::admits(const LoopbackPeerOwner::Finding& finding) {
    switch (finding.verdict) {
        case LoopbackPeerOwner::kSameUser:
            return true;
        case LoopbackPeerOwner::kNotRecorded:
            if (!notRecordedLogged) {
                notRecordedLogged = true;
                errorLog << "ravelink: the system does not report which process owns a connection "
                            "(owner process id 0), so the owner check cannot be made on this "
                            "system; serving connections without it"
                         << std::endl;
            }
            return true;
        case LoopbackPeerOwner::kOtherUser:
        case LoopbackPeerOwner::kOtherSession:
        case LoopbackPeerOwner::kUnknown:
            break;
    }
    refuse(finding);
    return false;
}

void PeerCheck::refuse(const LoopbackPeerOwner::Finding& finding) {
    const std::string key = finding.user.empty() ? "?" + finding.detail : finding.user;
    unsigned long refusedMeanwhile = 0;
    if (!quiet.mayWrite(key, refusedMeanwhile)) {
        return;
    }
    const std::string process = finding.processId >= 0
                                    ? "process id " + std::to_string(finding.processId)
                                    : "process id not known";
    std::string line;
    switch (finding.verdict) {
        case LoopbackPeerOwner::kOtherSession:
            line = "ravelink: refused a connection from another logon session of this user (" +
                   describe(finding.user) + ", " + process + "; " + finding.detail +
                   "): each session has its own copy";
            break;
        case LoopbackPeerOwner::kOtherUser:
            line = "ravelink: refused a connection from a process of another user (" +
                   describe(finding.user) + ", " + process + "): " + kAdvice;
            break;
        default:
            line = "ravelink: refused a connection whose process could not be identified (" +
                   process + "; " + finding.detail + "): " + kAdvice;
            break;
    }
    if (refusedMeanwhile > 0) {
        line +=
            " (" + std::to_string(refusedMeanwhile) + " more refused since the last line about it)";
    }
    errorLog << line << std::endl;
}

std::string PeerCheck::describe(const std::string& user) {
    {
        std::lock_guard<std::mutex> lock(names->mutex);
        const auto known = names->known.find(user);
        if (known != names->known.end()) {
            return known->second.empty() ? user : user + " (" + known->second + ")";
        }
        // A user database that hangs holds each lookup's thread: a few at a time, no more.
        if (names->pending.size() >= kMaxLookups || !names->pending.insert(user).second) {
            return user;
        }
        if (names->known.size() >= kMaxQuietUsers) {
            names->known.clear();
        }
    }
    try {
        std::thread([names = names, user] {
            std::string name = LoopbackPeerOwner::accountName(user);
            std::lock_guard<std::mutex> lock(names->mutex);
            names->known[user] = std::move(name);
            names->pending.erase(user);
        }).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the lines about this user go on without its name.
        std::lock_guard<std::mutex> lock(names->mutex);
        names->known[user] = std::string();
        names->pending.erase(user);
    }
    return user;
}

}  // namespace transport
