#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "platform/BrokerChannel.h"
#include "transport/Acceptor.h"

namespace transport {

// A copy's side of the machine's broker (ravelink-broker): where a broker runs, the copy registers
// with it and serves the pages' connections the broker hands over; where none runs, the copy
// listens on 127.0.0.1:7321 itself, as it always did.
//
// - start(): connects to the broker's channel. A broker that runs as the system's account (or as
//   this copy's own) is sent "hello"; "welcome" within kWelcomeWait registers the copy, which then
//   does not listen. A refusal ends the start (another copy of this account and session is
//   registered, or the broker denies this one). No broker, a broker this copy does not trust (its
//   line names who it was), or no answer in time: the copy listens itself.
// - registered: each socket handed over is served by the Acceptor exactly as an accepted one (the
//   handshake's checks, the origin policy and the owner check all run as ever), and "took" goes
//   back. A message this copy cannot take (garbage, "socket" without a socket, a second
//   "welcome") drops the channel, as if the broker had gone.
// - broker lost: one line; registering is tried again every kLostRetry; if no broker is back
//   within kGrace, the copy listens itself; if that fails too (another copy has the port), both
//   are tried every kLook.
// - listening: a broker is looked for every kLook. Once registered with one, the copy stops
//   listening (its open connections stay) and tells the broker "released", so that the broker can
//   take the port.
// Open pages are never dropped by any of this.
//
// Lives on the endpoint's event loop; `acceptor` and `errorLog` must outlive it.
class BrokerClient {
  public:
    static constexpr std::chrono::milliseconds kWelcomeWait{2000};
    static constexpr std::chrono::milliseconds kLostRetry{250};
    static constexpr std::chrono::milliseconds kGrace{3000};
    static constexpr std::chrono::milliseconds kLook{1000};

    enum class Start {
        registered,    // with a broker
        listening,     // on 127.0.0.1:7321 itself
        anotherCopy,   // refused: a copy of this account and session is registered already
        refused,       // refused by the broker for another reason
        cannotListen,  // no broker, and the address cannot be listened on
    };

    BrokerClient(asio::io_context& loop, Acceptor& acceptor, std::ostream& errorLog);
    ~BrokerClient();
    BrokerClient(const BrokerClient&) = delete;
    BrokerClient& operator=(const BrokerClient&) = delete;

    // Registers or listens, running the event loop until that is decided (at most about
    // kWelcomeWait). For a refusal or cannotListen, `detail` says why, and nothing is left
    // running.
    Start start(std::string& detail);

    // Ends it all: the channel closes, nothing is tried again. The acceptor is the caller's.
    void stop();

  private:
    enum class Outcome { welcomed, noBroker, untrusted, anotherCopy, denied, noAnswer };
    enum class State { starting, registered, lost, listening, stopped };
    using Done = std::function<void(Outcome, const std::string& detail)>;

    // One try to register: connect, check who serves the channel, hello, wait for the answer.
    void attempt(Done done);
    void finishAttempt(Outcome outcome, const std::string& detail);
    void registered();
    void receiveNext();
    void onMessage(const std::error_code& error, const std::string& text,
                   platform::BrokerChannel::SocketHandle socket);
    void lost(const std::string& why);
    void tick();
    void after(std::chrono::milliseconds wait);
    bool listenHere(std::string& failure);
    // Writes `line` unless it was the last line written about looking for a broker.
    void noteOnce(const std::string& line);

    asio::io_context& loop;
    Acceptor& acceptor;
    std::ostream& errorLog;
    State state = State::starting;
    std::unique_ptr<platform::BrokerChannel> channel;  // while trying, and while registered
    Done pending;                                      // the try under way
    asio::steady_timer answerTimer;
    asio::steady_timer retryTimer;
    std::chrono::steady_clock::time_point lostAt;
    std::string lastNoted;
    // Tells handlers waiting on the loop whether this object still exists.
    std::shared_ptr<char> life = std::make_shared<char>();
};

}  // namespace transport
