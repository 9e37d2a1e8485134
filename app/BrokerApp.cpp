#include "app/BrokerApp.h"

#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <utility>
#include <vector>

#include "platform/BrokerTrust.h"
#include "platform/StopSignals.h"
#include "transport/Acceptor.h"
#include "transport/PeerCheck.h"

using platform::BrokerChannel;
using platform::BrokerTrust;
using platform::LoopbackPeerOwner;
using transport::BrokerProtocol;

namespace {

const char kAddress[] = "127.0.0.1";
constexpr unsigned short kPort = 7321;
constexpr std::size_t kMaxQuietKeys = 256;

const char kNoCopyBody[] =
    "ravelink is not running for this account: start ravelink (or sign out and sign in again), "
    "then reload this page.\n";
const char kUnknownOwnerBody[] =
    "ravelink could not tell which account this page belongs to, so it was not served.\n";

std::string process(long long processId) {
    return processId >= 0 ? "process id " + std::to_string(processId) : "process id not known";
}

}  // namespace

// A page's connection handed to a copy: the broker's own handle, until the copy has its own.
struct BrokerApp::Handoff {
    Handoff(BrokerChannel::SocketHandle socket, asio::io_context& loop)
        : page(socket), timer(loop) {}
    ~Handoff() { BrokerChannel::closeSocket(page); }
    Handoff(const Handoff&) = delete;
    Handoff& operator=(const Handoff&) = delete;
    const BrokerChannel::SocketHandle page;  // owned; never tied to this loop (see acceptPage)
    asio::steady_timer timer;                // kTakeWait, from when the socket has been sent
};

// One copy's channel, from its connect to its departure.
struct BrokerApp::Copy {
    Copy(asio::io_context& loop, std::uint64_t id, std::unique_ptr<BrokerChannel> channel)
        : id(id), helloTimer(loop), channel(std::move(channel)) {}
    const std::uint64_t id;
    asio::steady_timer helloTimer;
    std::string key;       // the account it is registered for; empty until then
    bool closing = false;  // refused: goes once the refusal is out
    // Declared before the channel, so destroyed after it: a socket waiting in the channel's queue
    // must stay open until the channel is gone.
    std::map<std::uint64_t, std::unique_ptr<Handoff>> handoffs;
    std::unique_ptr<BrokerChannel> channel;
};

// A refused page's answer on its way.
struct BrokerApp::Answer {
    Answer(asio::ip::tcp::socket socket, asio::io_context& loop)
        : page(std::move(socket)), timer(loop) {}
    asio::ip::tcp::socket page;
    asio::steady_timer timer;  // kAnswerWait for all of it
    std::string text;
    char scratch[4096];
    std::size_t drained = 0;
};

BrokerApp::BrokerApp(std::ostream& log)
    : log(log),
      bindTimer(loop),
      acceptTimer(loop),
      signals(loop),
      quiet(std::chrono::seconds(60), kMaxQuietKeys) {}

BrokerApp::~BrokerApp() {
    // The copies' channels go before the sockets they might still be sending.
    copies.clear();
}

bool BrokerApp::open(std::string& detail) {
    std::error_code error;
    listener = BrokerChannel::Listener::open(loop, error, detail);
    if (!listener) {
        return false;
    }
    listener->accept(
        [this](const std::error_code& failure, std::unique_ptr<BrokerChannel> channel) {
            if (failure) {
                log << "ravelink-broker: copies can no longer connect (" << failure.message()
                    << "); registered copies are served on" << std::endl;
                return;
            }
            onCopyConnected(std::move(channel));
        });
    for (const int number : platform::StopSignals::numbers()) {
        signals.add(number);
    }
    signals.async_wait([this](const std::error_code& failure, int) {
        if (!failure) {
            stop();
        }
    });
    return true;
}

void BrokerApp::run() {
    tryBind();
    loop.run();
}

void BrokerApp::requestStop() {
    asio::post(loop, [this] { stop(); });
}

void BrokerApp::stop() {
    if (stopping) {
        return;
    }
    stopping = true;
    std::error_code ignored;
    signals.cancel(ignored);
    signals.clear(ignored);
    bindTimer.cancel();
    acceptTimer.cancel();
    if (port) {
        port->close(ignored);
    }
    listener.reset();
    copies.clear();
    registered.clear();
    answers.clear();
    log << "ravelink-broker: stopped" << std::endl;
}

void BrokerApp::tryBind() {
    if (stopping || port) {
        return;
    }
    std::error_code error;
    auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(loop);
    const asio::ip::tcp::endpoint where(asio::ip::make_address(kAddress), kPort);
    error = transport::Acceptor::openListening(*acceptor, where);
    if (error) {
        if (!bindFailing) {
            bindFailing = true;
            log << "ravelink-broker: cannot listen on 127.0.0.1:7321 yet (" << error.message()
                << "; a copy of ravelink that started before the broker may hold it); trying "
                   "again every "
                << kBindRetry.count() << " ms and whenever a copy releases it" << std::endl;
        }
        bindTimer.expires_after(kBindRetry);
        bindTimer.async_wait([this](const std::error_code& failure) {
            if (!failure) {
                tryBind();
            }
        });
        return;
    }
    bindTimer.cancel();
    port = std::move(acceptor);
    log << "ravelink-broker: listening on 127.0.0.1:7321 for every account's pages ("
        << "copies registered: " << registered.size() << ")" << std::endl;
    acceptPage();
}

void BrokerApp::acceptPage() {
    if (stopping || !port) {
        return;
    }
    // Each page is taken as a plain socket: on Windows one that this loop has seen could never
    // be served by the copy it is handed to (see BrokerChannel::acceptUnbound).
    BrokerChannel::acceptUnbound(
        *port, [this](const std::error_code& error, BrokerChannel::SocketHandle page,
                      const asio::ip::tcp::endpoint& local, const asio::ip::tcp::endpoint& remote) {
            if (stopping || error == asio::error::operation_aborted) {
                BrokerChannel::closeSocket(page);
                return;
            }
            if (error) {
                if (!acceptFailing) {
                    acceptFailing = true;
                    log << "ravelink-broker: cannot accept connections (" << error.message()
                        << "); trying again every " << kAcceptRetry.count() << " ms" << std::endl;
                }
                acceptTimer.expires_after(kAcceptRetry);
                acceptTimer.async_wait([this](const std::error_code& failure) {
                    if (!failure) {
                        acceptPage();
                    }
                });
                return;
            }
            if (acceptFailing) {
                acceptFailing = false;
                log << "ravelink-broker: accepting connections again" << std::endl;
            }
            onPage(page, local, remote);
            acceptPage();
        });
}

void BrokerApp::onPage(BrokerChannel::SocketHandle page, const asio::ip::tcp::endpoint& local,
                       const asio::ip::tcp::endpoint& remote) {
    LoopbackPeerOwner::Finding owner;
    if (remote.port() == 0) {
        owner.detail = "the connection's addresses could not be read";
    } else {
        owner = transport::PeerCheck::find(owners, local, remote);
    }
    const std::string only = registered.size() == 1 ? registered.begin()->first : std::string();
    const BrokerTrust::Handoff route = BrokerTrust::route(
        owner, [this](const std::string& key) { return registered.count(key) > 0; }, only);
    switch (route.route) {
        case BrokerTrust::Route::toCopy:
            handOver(*copies.at(registered.at(route.key)), page);
            return;
        case BrokerTrust::Route::noCopy:
            quietLine(route.key, "ravelink-broker: a page of " + owner.user + " in logon session " +
                                     std::to_string(owner.session) + " (" +
                                     process(owner.processId) +
                                     ") was answered 503: no copy of ravelink is registered for "
                                     "that account");
            answer(keep(page, local), "503 Service Unavailable", kNoCopyBody);
            return;
        case BrokerTrust::Route::unknownOwner:
            quietLine("?" + owner.detail,
                      "ravelink-broker: a page whose account could not be told was answered 403 (" +
                          (owner.detail.empty() ? std::string("the system keeps no socket owners, "
                                                              "and not exactly one copy is "
                                                              "registered")
                                                : owner.detail) +
                          ")");
            answer(keep(page, local), "403 Forbidden", kUnknownOwnerBody);
            return;
    }
}

asio::ip::tcp::socket BrokerApp::keep(BrokerChannel::SocketHandle page,
                                      const asio::ip::tcp::endpoint& local) {
    asio::ip::tcp::socket kept(loop);
    std::error_code error;
    kept.assign(local.protocol(), static_cast<asio::ip::tcp::socket::native_handle_type>(page),
                error);
    if (error) {
        BrokerChannel::closeSocket(page);  // `kept` stays closed: the answer goes nowhere
    }
    return kept;
}

void BrokerApp::handOver(Copy& copy, BrokerChannel::SocketHandle page) {
    if (copy.handoffs.size() >= kMaxUntaken) {
        quietLine("untaken " + copy.key,
                  "ravelink-broker: the copy of " + describe(copy) + " has not taken " +
                      std::to_string(copy.handoffs.size()) +
                      " connections handed to it; closing its account's new pages meanwhile");
        BrokerChannel::closeSocket(page);
        return;
    }
    const std::uint64_t id = ++lastId;
    copy.handoffs.emplace(id, std::make_unique<Handoff>(page, loop));
    const std::uint64_t copyId = copy.id;
    copy.channel->send(
        BrokerProtocol::socket(id), page, [this, copyId, id](const std::error_code& error) {
            if (error) {
                dropCopy(copyId, "the channel failed (" + error.message() + ")");
                return;
            }
            const auto found = copies.find(copyId);
            if (found == copies.end()) {
                return;
            }
            const auto handoff = found->second->handoffs.find(id);
            if (handoff == found->second->handoffs.end()) {
                return;
            }
            if (BrokerChannel::holdsSocketsInFlight()) {
                // The system holds the socket now, and the copy will not say "took".
                found->second->handoffs.erase(handoff);
                return;
            }
            handoff->second->timer.expires_after(kTakeWait);
            handoff->second->timer.async_wait([this, copyId, id](const std::error_code& failure) {
                const auto owner = copies.find(copyId);
                if (!failure && owner != copies.end()) {
                    owner->second->handoffs.erase(id);
                }
            });
        });
}

void BrokerApp::answer(asio::ip::tcp::socket page, const char* status, const char* body) {
    if (answers.size() >= kMaxAnswering) {
        return;  // closed with `page`
    }
    const std::uint64_t id = ++lastId;
    auto reply = std::make_unique<Answer>(std::move(page), loop);
    const std::string text(body);
    reply->text = std::string("HTTP/1.1 ") + status +
                  "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                  std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text;
    Answer& sending = *reply;
    answers.emplace(id, std::move(reply));
    sending.timer.expires_after(kAnswerWait);
    sending.timer.async_wait([this, id](const std::error_code& error) {
        if (!error) {
            answers.erase(id);
        }
    });
    asio::async_write(sending.page, asio::buffer(sending.text),
                      [this, id](const std::error_code& error, std::size_t) {
                          const auto found = answers.find(id);
                          if (found == answers.end()) {
                              return;
                          }
                          std::error_code ignored;
                          if (error) {
                              answers.erase(found);
                              return;
                          }
                          found->second->page.shutdown(asio::socket_base::shutdown_send, ignored);
                          drain(id);
                      });
}

void BrokerApp::drain(std::uint64_t id) {
    Answer& reading = *answers.at(id);
    reading.page.async_read_some(asio::buffer(reading.scratch),
                                 [this, id](const std::error_code& error, std::size_t size) {
                                     const auto found = answers.find(id);
                                     if (found == answers.end()) {
                                         return;
                                     }
                                     found->second->drained += size;
                                     if (error || found->second->drained > kDrainBytes) {
                                         answers.erase(found);
                                         return;
                                     }
                                     drain(id);
                                 });
}

void BrokerApp::onCopyConnected(std::unique_ptr<BrokerChannel> channel) {
    const std::uint64_t id = ++lastId;
    auto copy = std::make_unique<Copy>(loop, id, std::move(channel));
    copy->helloTimer.expires_after(kHelloWait);
    copy->helloTimer.async_wait([this, id](const std::error_code& error) {
        if (!error) {
            dropCopy(id, "it sent no hello within " + std::to_string(kHelloWait.count()) + " ms");
        }
    });
    copies.emplace(id, std::move(copy));
    receiveFrom(id);
}

void BrokerApp::receiveFrom(std::uint64_t id) {
    copies.at(id)->channel->receive(
        [this, id](const std::error_code& error, const std::string& text,
                   BrokerChannel::SocketHandle socket) { onCopyMessage(id, error, text, socket); });
}

void BrokerApp::onCopyMessage(std::uint64_t id, const std::error_code& error,
                              const std::string& text, BrokerChannel::SocketHandle socket) {
    const auto found = copies.find(id);
    if (found == copies.end()) {
        BrokerChannel::closeSocket(socket);
        return;
    }
    Copy& copy = *found->second;
    if (error) {
        dropCopy(id, error == asio::error::eof ? "it closed the channel"
                                               : "the channel failed (" + error.message() + ")");
        return;
    }
    BrokerProtocol::Message message;
    if (socket != BrokerChannel::kNoSocket) {
        BrokerChannel::closeSocket(socket);
        dropCopy(id, "it sent a socket");
        return;
    }
    if (!BrokerProtocol::parse(text, message)) {
        dropCopy(id, "it sent what is not the broker's protocol (" + std::to_string(text.size()) +
                         " bytes)");
        return;
    }
    if (copy.closing) {
        receiveFrom(id);
        return;
    }
    if (copy.key.empty()) {
        if (message.kind != BrokerProtocol::Kind::hello) {
            dropCopy(id, "it did not begin with hello");
            return;
        }
        copy.helloTimer.cancel();
        onHello(copy, message);
        return;
    }
    switch (message.kind) {
        case BrokerProtocol::Kind::took:
            copy.handoffs.erase(message.id);
            break;
        case BrokerProtocol::Kind::released:
            tryBind();
            break;
        default:
            dropCopy(id, "it sent a message out of turn");
            return;
    }
    receiveFrom(id);
}

void BrokerApp::onHello(Copy& copy, const BrokerProtocol::Message& hello) {
    const BrokerChannel::Peer& peer = copy.channel->peer();
    if (hello.version != BrokerProtocol::kVersion) {
        refuseCopy(copy, BrokerProtocol::Refusal::denied,
                   "it speaks version " + std::to_string(hello.version) +
                       " of the broker's protocol, this broker version " +
                       std::to_string(BrokerProtocol::kVersion) +
                       ": install the same version of ravelink and ravelink-broker");
        return;
    }
    const BrokerTrust::Admission admission =
        BrokerTrust::admitCopy(peer, hello.user, hello.session);
    if (!admission.admitted) {
        refuseCopy(copy, BrokerProtocol::Refusal::denied, admission.reason);
        return;
    }
    const auto holder = registered.find(admission.key);
    if (holder != registered.end()) {
        refuseCopy(copy, BrokerProtocol::Refusal::registered,
                   "a copy of " + peer.user + " in logon session " + std::to_string(peer.session) +
                       " is registered already (" +
                       process(copies.at(holder->second)->channel->peer().processId) + ")");
        return;
    }
    copy.key = admission.key;
    registered.emplace(copy.key, copy.id);
    copy.channel->send(BrokerProtocol::welcome(), BrokerChannel::kNoSocket, nullptr);
    log << "ravelink-broker: registered the copy of " << describe(copy) << "; "
        << "copies registered: " << registered.size() << std::endl;
    receiveFrom(copy.id);
}

void BrokerApp::refuseCopy(Copy& copy, BrokerProtocol::Refusal why, const std::string& reason) {
    const BrokerChannel::Peer& peer = copy.channel->peer();
    quietLine("copy " + peer.user, "ravelink-broker: refused a copy (" + peer.user + ", " +
                                       process(peer.processId) + "): " + reason);
    copy.closing = true;
    const std::uint64_t id = copy.id;
    copy.channel->send(BrokerProtocol::refused(why, reason), BrokerChannel::kNoSocket,
                       [this, id](const std::error_code&) {
                           copies.erase(id);  // the refused copy's channel closes
                       });
    receiveFrom(id);
}

void BrokerApp::dropCopy(std::uint64_t id, const std::string& why) {
    const auto found = copies.find(id);
    if (found == copies.end()) {
        return;
    }
    Copy& copy = *found->second;
    if (!copy.key.empty()) {
        registered.erase(copy.key);
        log << "ravelink-broker: the copy of " << describe(copy) << " left (" << why << "); "
            << "copies registered: " << registered.size() << std::endl;
    } else if (!copy.closing) {
        const BrokerChannel::Peer& peer = copy.channel->peer();
        quietLine("copy " + peer.user, "ravelink-broker: dropped a channel from " + peer.user +
                                           " (" + process(peer.processId) + "): " + why);
    }
    // The channel goes first (see Copy), then the sockets it was handing over.
    found->second->channel.reset();
    copies.erase(found);
}

void BrokerApp::quietLine(const std::string& key, const std::string& line) {
    unsigned long heldBack = 0;
    if (!quiet.mayWrite(key, heldBack)) {
        return;
    }
    std::string text = line;
    if (heldBack > 0) {
        text += " (" + std::to_string(heldBack) + " more since the last line about it)";
    }
    log << text << std::endl;
}

std::string BrokerApp::describe(const Copy& copy) const {
    const BrokerChannel::Peer& peer = copy.channel->peer();
    return peer.user + " in logon session " + std::to_string(peer.session) + " (" +
           process(peer.processId) + ")";
}
