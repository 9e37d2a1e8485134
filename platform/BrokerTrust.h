#pragma once

#include <functional>
#include <string>

#include "platform/BrokerChannel.h"
#include "platform/LoopbackPeerOwner.h"

namespace platform {

// Whom each end of the broker channel trusts, decided from what the system reports (a
// BrokerChannel::Peer), never from what the other end says. Kept apart from the calls that gather
// the facts and built on every target, so their tables of cases run everywhere.
class BrokerTrust {
  public:
    // The account a copy serves and a page belongs to, as one comparable text: the user by number
    // and the logon session ("uid 1000/0"; "S-1-5-21-...-1001/2").
    static std::string accountKey(const std::string& user, unsigned long session);

    // The broker's decision about a process that registers as a copy, saying it runs as
    // `claimedUser` in `claimedSession` (what it believes it is: its own view, never taken on
    // trust). Admitted under the key of what the system reports; refused when the system could not
    // tell who it is, or when what it says differs from what the system reports (a process that
    // poses as another account gets nothing).
    struct Admission {
        bool admitted = false;
        std::string key;     // accountKey() of the reported user and session, when admitted
        std::string reason;  // why not, when refused: for the broker's log and the copy
    };
    static Admission admitCopy(const BrokerChannel::Peer& copy, const std::string& claimedUser,
                               unsigned long claimedSession);

    // The copy's decision about the process serving the channel: trusted when it runs as the
    // system's own account (`systemUser`: "uid 0"; Windows: "S-1-5-18") or as this copy's own
    // account (which could do anything to this copy anyway). Anyone else who got there first is
    // refused, with `reason` saying who it was.
    static bool trustsBroker(const BrokerChannel::Peer& broker, const std::string& systemUser,
                             std::string& reason);

    // The copy a page's connection goes to, from the owner of the page's end as
    // LoopbackPeerOwner::find() reported it to the broker (whose own account does not matter:
    // only Finding::user, session and whether the owner is known at all).
    enum class Route {
        toCopy,        // `key` names the copy
        noCopy,        // the owner is known, and no copy of that account and session is registered
        unknownOwner,  // the system could not say who owns the page's end
    };
    struct Handoff {
        Route route = Route::unknownOwner;
        std::string key;  // for toCopy and noCopy: the account
    };
    // `registered` tells whether a copy of that key is registered; `onlyCopyKey` is the key of the
    // one registered copy when exactly one is registered, else empty: where the system keeps no
    // socket owners (owner process id 0, as under Wine) a connection goes to that copy, and
    // otherwise is refused like an unknown owner.
    static Handoff route(const LoopbackPeerOwner::Finding& owner,
                         const std::function<bool(const std::string& key)>& registered,
                         const std::string& onlyCopyKey);
};

}  // namespace platform
