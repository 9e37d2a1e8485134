#pragma once

#include <string>

namespace policy {

// One entry of an administrator's list of allowed origins, and the reading of the origins that
// browsers send.
//
// An origin is scheme://host[:port]. Scheme and host compare without regard to ASCII case, and a
// port that is the scheme's default (80 for http and ws, 443 for https and wss) is the same as no
// port. "scheme://*.example.com" stands for every subdomain of example.com, at any depth, but not
// for example.com itself. The literal "null" stands for the opaque origin that sandboxed frames,
// data: URLs and local files send.
class OriginPattern {
  public:
    // Reads one entry of the list. Returns false, with `problem` saying what is wrong, for anything
    // that is not an origin as above (a path, a query, user information, a wildcard anywhere but
    // the whole first label, a wildcard over an IP address, non-ASCII host names).
    static bool parse(const std::string& text, OriginPattern& pattern, std::string& problem);

    // Whether an Origin header's value is this origin, or one of its subdomains for a wildcard.
    // A value that is not a well-formed origin matches nothing.
    bool matches(const std::string& origin) const;

    bool isNull() const { return host == "null" && scheme.empty(); }

    // The entry in its normal form: lower case, default port dropped.
    std::string text() const;

  private:
    // Splits and normalises "scheme://host[:port]". `allowWildcard` admits a leading "*.".
    static bool normalise(const std::string& text, bool allowWildcard, std::string& scheme,
                          std::string& host, std::string& port, std::string& problem);

    std::string scheme;
    std::string host;  // for a wildcard, the suffix that follows "*."
    std::string port;  // empty for the scheme's default
    bool wildcard = false;
};

}  // namespace policy
