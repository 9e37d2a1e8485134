#pragma once

#include <string>
#include <vector>

#include "policy/OriginPattern.h"

namespace policy {

// An administrator's policy: which pages may connect and which folders modules may be loaded
// from. Read once at start-up (see PolicyReader) and never changed afterwards; the program holds
// one for its whole life and every part that enforces it keeps a reference.
//
// Three kinds:
// - none: no policy was found; every origin and module is allowed, exactly as without this feature
//   (other accounts' programs are refused whatever the kind: see "AllowOtherUsers");
// - in force: the settings below, each of which restricts only when it was given;
// - broken: a policy exists but could not be read or understood; every connection and every load
//   is refused, so a mistake never leaves the machine open.
//
// The settings, by the names an administrator writes:
// - "AllowedOrigins": list of origins (see OriginPattern). When given, a handshake whose Origin is
//   not in the list is refused. An empty list refuses every page.
// - "AllowConnectionsWithoutOrigin": true or false, default true. Whether a handshake without an
//   Origin header (local programs; browsers always send one) is accepted.
// - "AllowedModuleFolders": list of absolute folders. When given, a module is loaded only if its
//   real location lies inside one of them. An empty list refuses every load.
// - "IsolateModules": true or false, default false. Whether every module runs in a host process of
//   its own, as if each load had asked for it.
// - "AllowOtherUsers": true or false, default false. Whether connections from processes of other
//   accounts (on Windows: other logon sessions) are served; see transport::PeerCheck.
class Policy {
  public:
    enum Kind { kNone, kInForce, kBroken };

    // No policy.
    Policy();

    // A shared instance of no policy, for parts constructed without one.
    static const Policy& none();

    // A policy that refuses everything; `reason` says why, for the log.
    static Policy broken(const std::string& reason);

    // Reads a policy written as a JSON object. Returns false, with `problem` naming the setting
    // and what is wrong with it, for anything but an object holding only the settings above with
    // values of their kind. A listed folder is resolved the way modules' locations are (see
    // platform::ModuleLocation), so a folder reached through a link still holds its modules.
    static bool parse(const std::string& json, Policy& policy, std::string& problem);

    Kind kind() const { return policyKind; }
    const std::string& brokenReason() const { return reason; }

    // Whether a handshake may become a connection. `hasOrigin` is false when the request carries
    // no Origin header (or an empty one).
    bool admitsOrigin(bool hasOrigin, const std::string& origin) const;

    // The check of an opening handshake: `origin` is the Origin header's value and `draftOrigin`
    // that of Sec-WebSocket-Origin (where protocol drafts 7 and 8 put it), each empty when absent.
    // When refused, `refusal` is the line for the log.
    bool admitsHandshake(const std::string& origin, const std::string& draftOrigin,
                         std::string& refusal) const;

    // Whether the peer's owner goes unchecked: true only when the policy is in force and says so.
    bool allowsOtherUsers() const { return allowOtherUsers; }

    // Whether loads are checked at all: true when folders are listed or the policy is broken.
    bool restrictsModules() const;

    // Whether a module at the location with this key (platform::ModuleLocation) may be loaded.
    bool admitsModule(const std::string& locationKey) const;

    // Whether every load runs its module in a host process of its own.
    bool isolatesModules() const { return isolate; }

    // The log line for a load that this policy refused. `name` is what the page asked for,
    // `location` where that turned out to be (may be empty).
    std::string loadRefusal(const std::string& name, const std::string& location) const;

    // One line describing what is in force, for the log.
    std::string summary() const;

    // Warnings about settings that are allowed but weaken the policy (for the log).
    std::vector<std::string> warnings() const;

  private:
    Kind policyKind;
    std::string reason;
    bool restrictOrigins;
    std::vector<OriginPattern> origins;
    bool allowWithoutOrigin;
    bool allowOtherUsers;
    bool restrictFolders;
    std::vector<std::string> folderKeys;  // each ends with '/'
    bool isolate = false;
};

}  // namespace policy
