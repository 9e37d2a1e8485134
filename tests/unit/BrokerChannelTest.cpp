// The channel between the broker and a copy, both ends in this process: who each end says is at
// the other (as the system reports it), a real TCP connection handed across and served from the
// receiving end, and the receiving end's checks on what arrives.
//
// The broker's address is machine-wide (a folder under /run, a pipe name), so these run only where
// ctest makes it private (the broker-channel entry: on Linux a private mount namespace with /run on
// tmpfs, as root; on Windows the build tree's own Wine prefix).

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "platform/BrokerChannel.h"
#include "platform/BrokerChannelProbe.h"

using platform::BrokerChannel;

namespace {

// Runs the loop until `done` holds; false after 10 s (a hang, not a measurement).
bool runUntil(asio::io_context& loop, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    loop.restart();
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        loop.run_one_for(std::chrono::milliseconds(100));
    }
    return true;
}

class BrokerChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("RAVELINK_TEST_PRIVATE_BROKER") == nullptr) {
            GTEST_SKIP() << "the broker's address is machine-wide: run through ctest's "
                            "broker-channel entry, which makes it private";
        }
        std::error_code error;
        std::string detail;
        listener = BrokerChannel::Listener::open(loop, error, detail);
        if (!listener && error == std::errc::permission_denied) {
            GTEST_SKIP() << "cannot listen as the broker (" << detail << "): needs root";
        }
        ASSERT_TRUE(listener) << error.message() << ": " << detail;
        listener->accept([this](const std::error_code& error, std::unique_ptr<BrokerChannel> copy) {
            ASSERT_FALSE(error) << error.message();
            accepted = std::move(copy);
        });
    }

    // The broker's end of the next copy that connects.
    std::unique_ptr<BrokerChannel> brokerEnd() {
        EXPECT_TRUE(runUntil(loop, [this] { return accepted != nullptr; }));
        return std::move(accepted);
    }

    struct Received {
        bool arrived = false;
        std::error_code error;
        std::string text;
        BrokerChannel::SocketHandle socket = BrokerChannel::kNoSocket;
    };
    Received receiveOne(BrokerChannel& channel) {
        Received got;
        channel.receive([&got](const std::error_code& error, const std::string& text,
                               BrokerChannel::SocketHandle socket) {
            got.arrived = true;
            got.error = error;
            got.text = text;
            got.socket = socket;
        });
        EXPECT_TRUE(runUntil(loop, [&got] { return got.arrived; }));
        return got;
    }

    asio::io_context loop;
    std::unique_ptr<BrokerChannel::Listener> listener;
    std::unique_ptr<BrokerChannel> accepted;
};

TEST_F(BrokerChannelTest, EachEndKnowsTheOtherAndAPageConnectionIsServedFromTheReceivingEnd) {
    std::error_code error;
    std::unique_ptr<BrokerChannel> copy = BrokerChannel::connect(loop, error);
    ASSERT_TRUE(copy) << error.message();
    std::unique_ptr<BrokerChannel> broker = brokerEnd();
    ASSERT_TRUE(broker);

    // Both ends are this process, of this account, in this session.
    const BrokerChannel::Peer& seenByBroker = broker->peer();
    const BrokerChannel::Peer& seenByCopy = copy->peer();
    ASSERT_TRUE(seenByBroker.known) << seenByBroker.failure;
    ASSERT_TRUE(seenByCopy.known) << seenByCopy.failure;
    EXPECT_FALSE(seenByBroker.ownUser.empty());
    EXPECT_EQ(seenByBroker.user, seenByBroker.ownUser);
    EXPECT_EQ(seenByBroker.session, seenByBroker.ownSession);
    EXPECT_EQ(seenByCopy.user, seenByCopy.ownUser);
    EXPECT_GT(seenByBroker.processId, 0);
    EXPECT_EQ(seenByBroker.processId, seenByCopy.processId);

    // A text alone, then a page's connection with one.
    std::error_code sent = asio::error::would_block;
    copy->send("register", BrokerChannel::kNoSocket,
               [&sent](const std::error_code& error) { sent = error; });
    Received registration = receiveOne(*broker);
    EXPECT_FALSE(registration.error) << registration.error.message();
    EXPECT_EQ(registration.text, "register");
    EXPECT_EQ(registration.socket, BrokerChannel::kNoSocket);
    ASSERT_TRUE(runUntil(loop, [&sent] { return sent != asio::error::would_block; }));
    EXPECT_FALSE(sent) << sent.message();

    asio::ip::tcp::acceptor port(loop, {asio::ip::address_v4::loopback(), 0});
    asio::ip::tcp::socket page(loop);
    bool taken = false;
    BrokerChannel::SocketHandle handedOn = BrokerChannel::kNoSocket;
    asio::ip::tcp::endpoint local, remote;
    BrokerChannel::acceptUnbound(
        port,
        [&](const std::error_code& error, BrokerChannel::SocketHandle socket,
            const asio::ip::tcp::endpoint& localEnd, const asio::ip::tcp::endpoint& remoteEnd) {
            EXPECT_FALSE(error) << error.message();
            taken = true;
            handedOn = socket;
            local = localEnd;
            remote = remoteEnd;
        });
    page.connect(port.local_endpoint());
    ASSERT_TRUE(runUntil(loop, [&taken] { return taken; }));
    ASSERT_NE(handedOn, BrokerChannel::kNoSocket);
    EXPECT_EQ(remote, page.local_endpoint());
    EXPECT_EQ(local, page.remote_endpoint());
    sent = asio::error::would_block;
    broker->send("page", handedOn, [&sent, handedOn](const std::error_code& error) {
        sent = error;
        BrokerChannel::closeSocket(handedOn);  // the broker keeps nothing of a handed-on page
    });
    Received handoff = receiveOne(*copy);
    ASSERT_FALSE(handoff.error) << handoff.error.message();
    EXPECT_EQ(handoff.text, "page");
    ASSERT_NE(handoff.socket, BrokerChannel::kNoSocket);
    ASSERT_TRUE(runUntil(loop, [&sent] { return sent != asio::error::would_block; }));
    EXPECT_FALSE(sent) << sent.message();

    // The received socket is the page's connection, and this end's loop serves it.
    asio::ip::tcp::socket served(loop);
    served.assign(asio::ip::tcp::v4(),
                  static_cast<asio::ip::tcp::socket::native_handle_type>(handoff.socket), error);
    ASSERT_FALSE(error) << error.message();
    asio::write(page, asio::buffer("ping", 4));
    char bytes[4];
    std::string echoed;
    served.async_receive(asio::buffer(bytes), [&](const std::error_code& error, std::size_t size) {
        ASSERT_FALSE(error) << error.message();
        echoed.assign(bytes, size);
        asio::write(served, asio::buffer("pong", 4));
    });
    ASSERT_TRUE(runUntil(loop, [&echoed] { return !echoed.empty(); }));
    EXPECT_EQ(echoed, "ping");
    asio::read(page, asio::buffer(bytes));
    EXPECT_EQ(std::string(bytes, 4), "pong");
}

TEST_F(BrokerChannelTest, WhatNoChannelSendsEndsTheChannelWithTheReason) {
    struct Case {
        const char* what;
        std::string bytes;
        std::errc expected;
    };
    const Case cases[] = {
        {"a message too long", std::string(4 * BrokerChannel::kMaxMessage, 'x'),
         std::errc::message_size},
        // On Windows a NUL ends the text and a socket's description follows; on Linux a NUL has
        // no place in a message at all.
        {"a socket's description of the wrong size", std::string("page\0xxxxxxxxxx", 15),
         std::errc::bad_message},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code error;
        std::unique_ptr<platform::BrokerChannelProbe> probe =
            platform::BrokerChannelProbe::connect(error);
        ASSERT_TRUE(probe) << error.message();
        std::unique_ptr<BrokerChannel> broker = brokerEnd();
        ASSERT_TRUE(broker);
        ASSERT_TRUE(probe->send(c.bytes, error)) << error.message();
        Received got = receiveOne(*broker);
        EXPECT_EQ(got.error, std::make_error_code(c.expected)) << got.error.message();
        EXPECT_EQ(got.socket, BrokerChannel::kNoSocket);
        // The channel is over: the next receive says so too.
        EXPECT_TRUE(receiveOne(*broker).error);
    }
}

TEST_F(BrokerChannelTest, TheOtherEndGoingAwayMidConversationIsTheEndOfTheStream) {
    std::error_code error;
    std::unique_ptr<BrokerChannel> copy = BrokerChannel::connect(loop, error);
    ASSERT_TRUE(copy) << error.message();
    std::unique_ptr<BrokerChannel> broker = brokerEnd();
    ASSERT_TRUE(broker);

    copy->send("register", BrokerChannel::kNoSocket, [](const std::error_code&) {});
    Received first = receiveOne(*broker);
    EXPECT_FALSE(first.error) << first.error.message();
    EXPECT_EQ(first.text, "register");

    // A sender never lets out what no receiver would take.
    std::error_code refused;
    copy->send(std::string(BrokerChannel::kMaxMessage + 1, 'x'), BrokerChannel::kNoSocket,
               [&refused](const std::error_code& error) { refused = error; });
    ASSERT_TRUE(runUntil(loop, [&refused] { return bool(refused); }));
    copy.reset();
    Received after = receiveOne(*broker);
    EXPECT_EQ(after.error, asio::error::eof) << after.error.message();
    EXPECT_EQ(after.socket, BrokerChannel::kNoSocket);

    std::error_code sent;
    bool done = false;
    broker->send("page", BrokerChannel::kNoSocket, [&](const std::error_code& error) {
        sent = error;
        done = true;
    });
    ASSERT_TRUE(runUntil(loop, [&done] { return done; }));
    EXPECT_TRUE(sent) << "a send to a copy that has gone must fail";
}

}  // namespace
