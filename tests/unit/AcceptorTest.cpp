// Accepting stops for good once stopped, whatever has already completed by then; and a peer is
// admitted only when the owner check found it to be of this copy's own user.

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "transport/Acceptor.h"
#include "transport/PeerCheck.h"

TEST(Acceptor, AnAcceptThatCompletedBeforeTheStopGoesNowhere) {
    transport::server endpoint;
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_error_channels(websocketpp::log::elevel::all);
    endpoint.init_asio();
    transport::Acceptor acceptor(endpoint);
    ASSERT_FALSE(acceptor.listen("127.0.0.1", 0));
    asio::io_service& loop = endpoint.get_io_service();
    // A page has connected, and the stop is queued ahead of the accept's completion: the accept
    // succeeds after the listening socket was closed.
    asio::ip::tcp::socket page(loop);
    page.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), acceptor.port()));
    loop.post([&] { acceptor.stop(); });
    acceptor.start();
    // Runs what is ready without waiting: nothing may be left to do, no connection started and no
    // accept retried on the closed socket.
    loop.poll();
    EXPECT_TRUE(loop.stopped());
}

// Each verdict of the owner lookup, and what reaches the error log: every refusal writes its line,
// the check that cannot be made is logged once.
TEST(PeerCheck, ServesTheSameUserAndRefusesEveryoneWhoseOwnerIsNotKnownToBeIt) {
    using Owner = platform::LoopbackPeerOwner;
    const auto finding = [](Owner::Verdict verdict, const char* user, const char* detail) {
        Owner::Finding f;
        f.verdict = verdict;
        f.user = user;
        f.detail = detail;
        return f;
    };
    const struct {
        Owner::Finding finding;
        bool admitted;
        const char* logged;  // in the line written, or null for none
    } cases[] = {
        {finding(Owner::kSameUser, "", ""), true, nullptr},
        {finding(Owner::kOtherUser, "uid 0", ""), false, "another user (uid 0"},
        {finding(Owner::kOtherSession, "S-1-5-21-1", "logon session 2"), false, "logon session 2"},
        {finding(Owner::kUnknown, "", "no answer to the socket lookup"), false, "no answer"},
        {finding(Owner::kNotRecorded, "", ""), true, "owner check cannot be made"},
        {finding(Owner::kNotRecorded, "", ""), true, nullptr},
    };
    std::ostringstream log;
    transport::PeerCheck check(log);
    for (const auto& c : cases) {
        log.str("");
        EXPECT_EQ(check.admits(c.finding), c.admitted) << c.finding.verdict;
        if (c.logged == nullptr) {
            EXPECT_EQ(log.str(), "") << c.finding.verdict;
        } else {
            EXPECT_NE(log.str().find(c.logged), std::string::npos) << log.str();
        }
    }
}
