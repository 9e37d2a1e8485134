#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <string>

#include "platform/LoopbackPeerOwner.h"
#include "transport/QuietPeriods.h"
#include "transport/WebSocketTypes.h"

namespace transport {

// Whether a handshake's TCP peer is a process of the account this copy runs as (see
// platform::LoopbackPeerOwner): one copy serves its own user only, since a browser connects as the
// user who runs it. Every handshake is checked, with or without a policy, before its connection
// opens; a refused one never reaches the plug-in host.
//
// Served: the same account (on Windows in the same logon session), and every peer where the system
// keeps no owners for sockets (Wine), where the first such connection writes one line to the error
// log that the check cannot be made. Refused: everything else, an owner that cannot be found
// included, with one line naming the peer's user and process id where known. Refusals of the same
// user within kQuietSeconds of that line are counted instead, and the count goes on the next line
// about that user, so a peer that keeps trying cannot flood the log.
//
// The user is named by number (uid, SID) at once; its name is looked up only for a line that is
// written, on a thread of its own (a user database may take seconds to answer), and goes on the
// later lines about that user.
//
// Lives on the endpoint's one thread; writes to `errorLog`, which must outlive it.
class PeerCheck {
  public:
    static constexpr int kQuietSeconds = 60;

    explicit PeerCheck(std::ostream& errorLog);
    PeerCheck(const PeerCheck&) = delete;
    PeerCheck& operator=(const PeerCheck&) = delete;

    // Looks the connection's peer up and judges it.
    bool admits(const connection_ptr& connection);
    // The verdict on what the lookup found, and its line in the error log.
    bool admits(const platform::LoopbackPeerOwner::Finding& finding);

    // What `owners` finds about the peer of a connection from `local` to `remote` (only IPv4
    // connections have owners to find).
    static platform::LoopbackPeerOwner::Finding find(
        platform::LoopbackPeerOwner& owners, const websocketpp::lib::asio::ip::tcp::endpoint& local,
        const websocketpp::lib::asio::ip::tcp::endpoint& remote);

  private:
    void refuse(const platform::LoopbackPeerOwner::Finding& finding);
    // `user` with its name when that is known; else starts looking the name up.
    std::string describe(const std::string& user);

    std::ostream& errorLog;
    platform::LoopbackPeerOwner owners;
    bool notRecordedLogged = false;
    // Per user key (Finding::user, or what failed): when the next line may be written.
    QuietPeriods quiet;

    // Names by user, filled by lookups on threads of their own, which share it and may outlive
    // this object.
    struct Names {
        std::mutex mutex;
        std::map<std::string, std::string> known;  // "" for an account without a name
        std::set<std::string> pending;
    };
    std::shared_ptr<Names> names = std::make_shared<Names>();
};

}  // namespace transport
