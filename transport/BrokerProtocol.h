#pragma once

#include <cstdint>
#include <string>

namespace transport {

// The texts a copy of ravelink and the machine's broker (ravelink-broker) exchange over their
// channel (platform::BrokerChannel). Each message is one text of tab-separated fields, the first
// naming it:
//
// - copy -> broker: hello <version> <user> <session>. Registers: the account and logon session
//   the copy believes it runs as (checked by the broker against what the system reports).
// - broker -> copy: welcome. Registered: pages of that account come here.
// - broker -> copy: refused <why> <reason>. Not registered; <why> is "registered" (a copy of that
//   account and session is registered already) or "denied".
// - broker -> copy: socket <id>, with a page's connection attached.
// - copy -> broker: took <id>. The copy holds its own handle of that socket now; sent only where
//   the system does not hold a socket in flight (see BrokerChannel::holdsSocketsInFlight).
// - copy -> broker: released. The copy no longer listens on the port.
//
// Numbers are decimal digits only; texts are printable (no control characters; format() turns
// tabs and line ends in a reason into spaces). Anything else is refused by parse(): a peer that
// sends it is not speaking this protocol.
class BrokerProtocol {
  public:
    static constexpr unsigned kVersion = 1;

    enum class Kind { hello, welcome, refused, socket, took, released };
    enum class Refusal { registered, denied };

    struct Message {
        Kind kind = Kind::hello;
        unsigned version = 0;               // hello
        std::string user;                   // hello
        unsigned long session = 0;          // hello
        Refusal refusal = Refusal::denied;  // refused
        std::string reason;                 // refused
        std::uint64_t id = 0;               // socket, took
    };

    static std::string hello(const std::string& user, unsigned long session);
    static std::string welcome();
    static std::string refused(Refusal why, const std::string& reason);
    static std::string socket(std::uint64_t id);
    static std::string took(std::uint64_t id);
    static std::string released();

    // Reads `text` into `message`; false when it is not one of the messages above.
    static bool parse(const std::string& text, Message& message);
};

}  // namespace transport
