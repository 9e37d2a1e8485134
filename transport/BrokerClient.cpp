#include "transport/BrokerClient.h"

#include <utility>

#include "platform/BrokerTrust.h"
#include "transport/BrokerProtocol.h"

namespace transport {

using platform::BrokerChannel;

namespace {

const char kAddress[] = "127.0.0.1";
constexpr unsigned short kPort = 7321;

std::string milliseconds(std::chrono::milliseconds span) {
    return std::to_string(span.count()) + " ms";
}

}  // namespace

BrokerClient::BrokerClient(asio::io_context& loop, Acceptor& acceptor, std::ostream& errorLog)
    : loop(loop), acceptor(acceptor), errorLog(errorLog), answerTimer(loop), retryTimer(loop) {}

BrokerClient::~BrokerClient() = default;

BrokerClient::Start BrokerClient::start(std::string& detail) {
    bool decided = false;
    Outcome result = Outcome::noBroker;
    std::string why;
    attempt([&](Outcome outcome, const std::string& text) {
        decided = true;
        result = outcome;
        why = text;
    });
    while (!decided && state != State::stopped && loop.run_one() > 0) {
    }
    if (!decided || state == State::stopped) {
        stop();  // stopped meanwhile: nothing to serve, and nothing may call back into this frame
        return Start::listening;
    }
    switch (result) {
        case Outcome::welcomed:
            registered();
            return Start::registered;
        case Outcome::anotherCopy:
            stop();
            detail = why;
            return Start::anotherCopy;
        case Outcome::denied:
            stop();
            detail = "the machine's broker refused this copy: " + why;
            return Start::refused;
        case Outcome::untrusted:
        case Outcome::noAnswer:
            errorLog << "ravelink: " << why << "; listening on 127.0.0.1:7321 itself" << std::endl;
            break;
        case Outcome::noBroker:
            break;
    }
    if (!listenHere(detail)) {
        stop();
        return Start::cannotListen;
    }
    state = State::listening;
    after(kLook);
    return Start::listening;
}

void BrokerClient::stop() {
    state = State::stopped;
    pending = nullptr;
    channel.reset();
    answerTimer.cancel();
    retryTimer.cancel();
}

void BrokerClient::attempt(Done done) {
    std::error_code error;
    std::unique_ptr<BrokerChannel> found = BrokerChannel::connect(loop, error);
    if (!found) {
        done(Outcome::noBroker, error.message());
        return;
    }
    std::string reason;
    if (!platform::BrokerTrust::trustsBroker(found->peer(), BrokerChannel::systemUser(), reason)) {
        done(Outcome::untrusted, "not registering with the broker channel: " + reason);
        return;
    }
    channel = std::move(found);
    pending = std::move(done);
    const BrokerChannel::Peer& self = channel->peer();
    channel->send(BrokerProtocol::hello(self.ownUser, self.ownSession), BrokerChannel::kNoSocket,
                  nullptr);
    std::weak_ptr<char> alive = life;
    answerTimer.expires_after(kWelcomeWait);
    answerTimer.async_wait([this, alive](const std::error_code& error) {
        if (!alive.expired() && !error && pending) {
            finishAttempt(Outcome::noAnswer,
                          "the broker did not answer within " + milliseconds(kWelcomeWait));
        }
    });
    channel->receive([this](const std::error_code& error, const std::string& text,
                            BrokerChannel::SocketHandle socket) {
        BrokerProtocol::Message message;
        if (error) {
            finishAttempt(Outcome::noBroker,
                          "the broker closed the channel (" + error.message() + ")");
        } else if (socket != BrokerChannel::kNoSocket || !BrokerProtocol::parse(text, message) ||
                   (message.kind != BrokerProtocol::Kind::welcome &&
                    message.kind != BrokerProtocol::Kind::refused)) {
            BrokerChannel::closeSocket(socket);
            finishAttempt(Outcome::noAnswer, "the broker answered what this copy cannot take");
        } else if (message.kind == BrokerProtocol::Kind::welcome) {
            finishAttempt(Outcome::welcomed, std::string());
        } else {
            finishAttempt(message.refusal == BrokerProtocol::Refusal::registered
                              ? Outcome::anotherCopy
                              : Outcome::denied,
                          message.reason);
        }
    });
}

void BrokerClient::finishAttempt(Outcome outcome, const std::string& detail) {
    answerTimer.cancel();
    Done done = std::move(pending);
    pending = nullptr;
    if (outcome != Outcome::welcomed) {
        channel.reset();
    }
    if (done) {
        done(outcome, detail);
    }
}

void BrokerClient::registered() {
    const long long broker = channel->peer().processId;
    const std::string who = "the machine's broker (process id " + std::to_string(broker) + ")";
    if (state == State::listening) {
        // The open connections stay; the broker may take the port once it hears so.
        acceptor.stopListening();
        channel->send(BrokerProtocol::released(), BrokerChannel::kNoSocket, nullptr);
        errorLog << "ravelink: registered with " << who
                 << ": no longer listening on 127.0.0.1:7321 itself (open pages stay served)"
                 << std::endl;
    } else if (state == State::lost) {
        errorLog << "ravelink: registered with " << who << " again" << std::endl;
    } else {
        errorLog << "ravelink: registered with " << who
                 << ": it hands this account's pages to this copy" << std::endl;
    }
    state = State::registered;
    lastNoted.clear();
    retryTimer.cancel();
    receiveNext();
}

void BrokerClient::receiveNext() {
    channel->receive(
        [this](const std::error_code& error, const std::string& text,
               BrokerChannel::SocketHandle socket) { onMessage(error, text, socket); });
}

void BrokerClient::onMessage(const std::error_code& error, const std::string& text,
                             BrokerChannel::SocketHandle socket) {
    if (error) {
        lost(error == asio::error::eof ? "the broker closed the channel"
                                       : "the channel failed: " + error.message());
        return;
    }
    BrokerProtocol::Message message;
    if (BrokerProtocol::parse(text, message) && message.kind == BrokerProtocol::Kind::socket &&
        socket != BrokerChannel::kNoSocket) {
        acceptor.adopt(socket);
        if (!BrokerChannel::holdsSocketsInFlight()) {
            channel->send(BrokerProtocol::took(message.id), BrokerChannel::kNoSocket, nullptr);
        }
        receiveNext();
        return;
    }
    BrokerChannel::closeSocket(socket);
    lost("it sent a message this copy cannot take (" + std::to_string(text.size()) + " bytes" +
         (socket == BrokerChannel::kNoSocket ? "" : ", with a socket") + ")");
}

void BrokerClient::lost(const std::string& why) {
    channel.reset();
    state = State::lost;
    lostAt = std::chrono::steady_clock::now();
    errorLog << "ravelink: lost the machine's broker (" << why
             << "); open pages stay served; registering again every " << milliseconds(kLostRetry)
             << ", and listening on 127.0.0.1:7321 itself if no broker is back within "
             << milliseconds(kGrace) << std::endl;
    after(kLostRetry);
}

void BrokerClient::after(std::chrono::milliseconds wait) {
    std::weak_ptr<char> alive = life;
    retryTimer.expires_after(wait);
    retryTimer.async_wait([this, alive](const std::error_code& error) {
        if (!alive.expired() && !error) {
            tick();
        }
    });
}

void BrokerClient::tick() {
    if (state != State::lost && state != State::listening) {
        return;
    }
    if (state == State::lost && std::chrono::steady_clock::now() - lostAt >= kGrace) {
        std::string failure;
        if (listenHere(failure)) {
            state = State::listening;
            errorLog << "ravelink: no broker came back within " << milliseconds(kGrace)
                     << ": listening on 127.0.0.1:7321 itself" << std::endl;
            after(kLook);
            return;
        }
        noteOnce("ravelink: no broker came back, and 127.0.0.1:7321 cannot be listened on (" +
                 failure + "); trying both every " + milliseconds(kLook));
    }
    attempt([this](Outcome outcome, const std::string& detail) {
        if (state == State::stopped) {
            return;
        }
        if (outcome == Outcome::welcomed) {
            registered();
            return;
        }
        if (outcome != Outcome::noBroker) {
            noteOnce("ravelink: " + (outcome == Outcome::anotherCopy || outcome == Outcome::denied
                                         ? "the machine's broker refused this copy: " + detail
                                         : detail));
        }
        const bool early =
            state == State::lost && std::chrono::steady_clock::now() - lostAt < kGrace;
        after(early ? kLostRetry : kLook);
    });
}

bool BrokerClient::listenHere(std::string& failure) {
    const std::error_code error = acceptor.listen(kAddress, kPort);
    if (error) {
        acceptor.stopListening();
        failure = error.message();
        return false;
    }
    acceptor.start();
    return true;
}

void BrokerClient::noteOnce(const std::string& line) {
    if (line != lastNoted) {
        lastNoted = line;
        errorLog << line << std::endl;
    }
}

}  // namespace transport
