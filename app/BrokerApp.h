#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "platform/BrokerChannel.h"
#include "platform/LoopbackPeerOwner.h"
#include "transport/BrokerProtocol.h"
#include "transport/QuietPeriods.h"

// The machine's broker (ravelink-broker): owns 127.0.0.1:7321 for every account on the machine and
// hands each page's connection, before reading a byte of it, to the copy of ravelink that runs for
// the page's account (and logon session), over the broker channel (platform::BrokerChannel).
//
// - Copies: each one that connects has kHelloWait to say hello; it is admitted under the account
//   the system reports for it, and only when what it says matches that (platform::BrokerTrust); a
//   second copy of an account (and session) already registered is refused. One status line per
//   copy at registration and at departure, with how many copies are registered then.
// - Pages: the owner of each connection's other end is looked up (platform::LoopbackPeerOwner: the
//   owner's account and session, whatever the verdict relative to the broker's own account) and
//   routed (BrokerTrust::route): handed to its copy; or, when its account has no copy, answered
//   "503 Service Unavailable" with a line saying ravelink is not running for that account; or,
//   when the owner cannot be told, answered 403. A refused page's answer is sent, sending is shut
//   down and what the page still sends is read and dropped (at most kDrainBytes, for at most
//   kAnswerWait), so that the answer is not lost to a reset; at most kMaxAnswering answers are in
//   flight, beyond that a refused page's connection is just closed. Refusal lines are written at
//   most once a minute per account (the rest are counted, as transport::PeerCheck does).
// - Handing over: the socket goes to the copy with "socket <id>"; the broker closes its own handle
//   as soon as it is sent where the system holds a socket in flight (Linux), and elsewhere once
//   the copy says "took <id>", after kTakeWait, or when the copy's channel goes. A copy with
//   kMaxUntaken connections not yet taken gets no more: further pages of its account are closed.
// - The port: bound with the platform's listening options once the channel listens. While it is in
//   use (a copy that started before the broker listens on it), binding is tried again every
//   kBindRetry and whenever a copy says "released".
// It never reads or writes a page's traffic after the handoff, never loads a module and reads no
// configuration. A stop signal ends it cleanly.
//
// Single-threaded: everything runs on the thread that calls run(), except requestStop().
class BrokerApp {
  public:
    static constexpr std::chrono::milliseconds kHelloWait{2000};
    static constexpr std::chrono::milliseconds kTakeWait{5000};
    static constexpr std::chrono::milliseconds kBindRetry{250};
    static constexpr std::chrono::milliseconds kAnswerWait{2000};
    static constexpr std::chrono::milliseconds kAcceptRetry{100};
    static constexpr std::size_t kMaxAnswering = 64;
    static constexpr std::size_t kDrainBytes = 64 * 1024;
    static constexpr std::size_t kMaxUntaken = 256;

    // Lines go to `log`, which must outlive this object.
    explicit BrokerApp(std::ostream& log);
    ~BrokerApp();
    BrokerApp(const BrokerApp&) = delete;
    BrokerApp& operator=(const BrokerApp&) = delete;

    // Opens the broker channel for copies; false, with `detail` saying why and what to do, when
    // it cannot be opened.
    bool open(std::string& detail);

    // Takes the port (as soon as it is free) and serves until stopped.
    void run();

    // Ends serving from any thread (a service manager's stop): run() returns soon after.
    void requestStop();

  private:
    struct Handoff;
    struct Copy;
    struct Answer;

    void stop();
    void tryBind();
    void acceptPage();
    void onPage(platform::BrokerChannel::SocketHandle page, const asio::ip::tcp::endpoint& local,
                const asio::ip::tcp::endpoint& remote);
    // The page's socket on this loop, to answer it here.
    asio::ip::tcp::socket keep(platform::BrokerChannel::SocketHandle page,
                               const asio::ip::tcp::endpoint& local);
    void handOver(Copy& copy, platform::BrokerChannel::SocketHandle page);
    void answer(asio::ip::tcp::socket page, const char* status, const char* body);
    void drain(std::uint64_t id);

    void onCopyConnected(std::unique_ptr<platform::BrokerChannel> channel);
    void receiveFrom(std::uint64_t id);
    void onCopyMessage(std::uint64_t id, const std::error_code& error, const std::string& text,
                       platform::BrokerChannel::SocketHandle socket);
    void onHello(Copy& copy, const transport::BrokerProtocol::Message& hello);
    void refuseCopy(Copy& copy, transport::BrokerProtocol::Refusal why, const std::string& reason);
    void dropCopy(std::uint64_t id, const std::string& why);
    void quietLine(const std::string& key, const std::string& line);
    std::string describe(const Copy& copy) const;

    std::ostream& log;
    asio::io_context loop;
    std::unique_ptr<platform::BrokerChannel::Listener> listener;
    std::unique_ptr<asio::ip::tcp::acceptor> port;  // null until bound
    asio::steady_timer bindTimer;
    asio::steady_timer acceptTimer;
    asio::signal_set signals;
    platform::LoopbackPeerOwner owners;
    transport::QuietPeriods quiet;
    bool bindFailing = false;
    bool acceptFailing = false;
    bool stopping = false;
    std::uint64_t lastId = 0;  // copies, handoffs and answers, each numbered once
    // Every copy's channel, registered or not yet, by its number; and the registered ones by
    // account key. Handlers on the loop name copies, handoffs and answers by number, so one that
    // comes late finds nothing.
    std::map<std::uint64_t, std::unique_ptr<Copy>> copies;
    std::map<std::string, std::uint64_t> registered;
    std::map<std::uint64_t, std::unique_ptr<Answer>> answers;
};
