#include "transport/BrokerProtocol.h"

#include <limits>
#include <vector>

namespace transport {

namespace {

std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == '\t') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

bool printable(const std::string& text) {
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

bool number(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    return true;
}

std::string flattened(const std::string& text) {
    std::string flat = text;
    for (char& c : flat) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = ' ';
        }
    }
    return flat;
}

}  // namespace

std::string BrokerProtocol::hello(const std::string& user, unsigned long session) {
    return "hello\t" + std::to_string(kVersion) + "\t" + flattened(user) + "\t" +
           std::to_string(session);
}

std::string BrokerProtocol::welcome() {
    return "welcome";
}

std::string BrokerProtocol::refused(Refusal why, const std::string& reason) {
    return std::string("refused\t") + (why == Refusal::registered ? "registered" : "denied") +
           "\t" + flattened(reason);
}

std::string BrokerProtocol::socket(std::uint64_t id) {
    return "socket\t" + std::to_string(id);
}

std::string BrokerProtocol::took(std::uint64_t id) {
    return "took\t" + std::to_string(id);
}

std::string BrokerProtocol::released() {
    return "released";
}

bool BrokerProtocol::parse(const std::string& text, Message& message) {
    const std::vector<std::string> part = fields(text);
    const std::string& name = part[0];
    message = Message();
    if (name == "hello" && part.size() == 4) {
        std::uint64_t version = 0, session = 0;
        if (!number(part[1], std::numeric_limits<unsigned>::max(), version) || part[2].empty() ||
            !printable(part[2]) ||
            !number(part[3], std::numeric_limits<unsigned long>::max(), session)) {
            return false;
        }
        message.kind = Kind::hello;
        message.version = static_cast<unsigned>(version);
        message.user = part[2];
        message.session = static_cast<unsigned long>(session);
        return true;
    }
    if ((name == "welcome" || name == "released") && part.size() == 1) {
        message.kind = name == "welcome" ? Kind::welcome : Kind::released;
        return true;
    }
    if (name == "refused" && part.size() == 3) {
        if ((part[1] != "registered" && part[1] != "denied") || !printable(part[2])) {
            return false;
        }
        message.kind = Kind::refused;
        message.refusal = part[1] == "registered" ? Refusal::registered : Refusal::denied;
        message.reason = part[2];
        return true;
    }
    if ((name == "socket" || name == "took") && part.size() == 2) {
        if (!number(part[1], std::numeric_limits<std::uint64_t>::max(), message.id)) {
            return false;
        }
        message.kind = name == "socket" ? Kind::socket : Kind::took;
        return true;
    }
    return false;
}

}  // namespace transport
