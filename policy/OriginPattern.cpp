#include "policy/OriginPattern.h"

namespace policy {

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

const char* defaultPort(const std::string& scheme) {
    if (scheme == "http" || scheme == "ws") {
        return "80";
    }
    if (scheme == "https" || scheme == "wss") {
        return "443";
    }
    return nullptr;
}

// A DNS name, an IPv4 address or a bracketed IPv6 address, already in lower case.
bool validHost(const std::string& host) {
    if (host.empty()) {
        return false;
    }
    if (host.front() == '[') {
        if (host.size() < 4 || host.back() != ']') {
            return false;
        }
        for (std::string::size_type i = 1; i + 1 < host.size(); ++i) {
            const char c = host[i];
            if (!(isDigit(c) || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
                return false;
            }
        }
        return true;
    }
    std::string::size_type labelLength = 0;
    for (const char c : host) {
        if (c == '.') {
            if (labelLength == 0) {
                return false;
            }
            labelLength = 0;
        } else if (isAlpha(c) || isDigit(c) || c == '-' || c == '_') {
            ++labelLength;
        } else {
            return false;
        }
    }
    return true;
}

// Whether the host's last label is all digits, which makes it an IPv4 address, not a name.
bool endsInNumber(const std::string& host) {
    std::string::size_type dot = host.rfind('.');
    const std::string last = dot == std::string::npos ? host : host.substr(dot + 1);
    if (last.empty()) {
        return false;
    }
    for (const char c : last) {
        if (!isDigit(c)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool OriginPattern::normalise(const std::string& text, bool allowWildcard, std::string& scheme,
                              std::string& host, std::string& port, std::string& problem) {
    const std::string::size_type separator = text.find("://");
    if (separator == std::string::npos || separator == 0) {
        problem = "has no scheme:// in front";
        return false;
    }
    scheme.clear();
    for (std::string::size_type i = 0; i < separator; ++i) {
        const char c = text[i];
        if (!(isAlpha(c) || (i > 0 && (isDigit(c) || c == '+' || c == '-' || c == '.')))) {
            problem = "has a scheme that is not one";
            return false;
        }
        scheme += lower(c);
    }
    std::string authority = text.substr(separator + 3);
    if (authority.find_first_of("/?#") != std::string::npos) {
        problem = "has a path, query or fragment; an origin is only scheme://host[:port]";
        return false;
    }
    if (authority.find('@') != std::string::npos) {
        problem = "has user information; an origin is only scheme://host[:port]";
        return false;
    }
    for (char& c : authority) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            problem =
                "has a host name that is not ASCII; write it in its xn-- form, as browsers send it";
            return false;
        }
        c = lower(c);
    }
    // The port follows the last colon, unless that colon is inside an IPv6 address.
    port.clear();
    const std::string::size_type colon = authority.rfind(':');
    const std::string::size_type bracket = authority.rfind(']');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        const std::string digits = authority.substr(colon + 1);
        authority.resize(colon);
        if (digits.empty() || digits.size() > 5) {
            problem = "has a port that is not a number from 1 to 65535";
            return false;
        }
        unsigned long value = 0;
        for (const char c : digits) {
            if (!isDigit(c)) {
                problem = "has a port that is not a number from 1 to 65535";
                return false;
            }
            value = value * 10 + static_cast<unsigned long>(c - '0');
        }
        if (value == 0 || value > 65535) {
            problem = "has a port that is not a number from 1 to 65535";
            return false;
        }
        port = std::to_string(value);
        const char* standard = defaultPort(scheme);
        if (standard != nullptr && port == standard) {
            port.clear();
        }
    }
    host = authority;
    if (allowWildcard && host.compare(0, 2, "*.") == 0) {
        host.erase(0, 2);
        if (!validHost(host) || host.front() == '[' || endsInNumber(host)) {
            problem = "has a wildcard that is not followed by a domain name";
            return false;
        }
        return true;
    }
    if (!validHost(host)) {
        problem = host.find('*') != std::string::npos
                      ? "has a wildcard that is not the whole first label (write *.example.com)"
                      : "has no valid host name";
        return false;
    }
    return true;
}

bool OriginPattern::parse(const std::string& text, OriginPattern& pattern, std::string& problem) {
    pattern = OriginPattern();
    if (text == "null") {
        pattern.host = "null";
        return true;
    }
    // A trailing slash is how addresses are often copied; it adds nothing to an origin.
    std::string trimmed = text;
    if (trimmed.size() > 1 && trimmed.back() == '/' &&
        trimmed.compare(trimmed.size() - 3, 3, "://") != 0) {
        trimmed.pop_back();
    }
    std::string scheme, host, port;
    if (!normalise(trimmed, true, scheme, host, port, problem)) {
        return false;
    }
    pattern.wildcard = trimmed.find("://*.") != std::string::npos;
    pattern.scheme = scheme;
    pattern.host = host;
    pattern.port = port;
    return true;
}

bool OriginPattern::matches(const std::string& origin) const {
    if (isNull()) {
        return origin == "null";
    }
    std::string originScheme, originHost, originPort, ignored;
    if (!normalise(origin, false, originScheme, originHost, originPort, ignored)) {
        return false;
    }
    if (originScheme != scheme || originPort != port) {
        return false;
    }
    if (!wildcard) {
        return originHost == host;
    }
    // A subdomain: at least one label, then a dot, then the suffix.
    return originHost.size() > host.size() + 1 &&
           originHost.compare(originHost.size() - host.size(), host.size(), host) == 0 &&
           originHost[originHost.size() - host.size() - 1] == '.';
}

std::string OriginPattern::text() const {
    if (isNull()) {
        return "null";
    }
    return scheme + "://" + (wildcard ? "*." : "") + host + (port.empty() ? "" : ":" + port);
}

}  // namespace policy
