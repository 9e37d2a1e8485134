// The broker's decisions through the platform seam, with what Linux and Windows report (uids;
// SIDs and logon sessions; owner process id 0 as under Wine), and the broker protocol's reader
// against what is not the protocol.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/BrokerTrust.h"
#include "transport/BrokerProtocol.h"

using platform::BrokerChannel;
using platform::BrokerTrust;
using Owner = platform::LoopbackPeerOwner;

namespace {

const char kAlice[] = "S-1-5-21-1004336348-1177238915-682003330-1001";
const char kBob[] = "S-1-5-21-1004336348-1177238915-682003330-1002";
const char kSystem[] = "S-1-5-18";

BrokerChannel::Peer peer(const char* user, unsigned long session, const char* own = "uid 1000",
                         unsigned long ownSession = 0) {
    BrokerChannel::Peer p;
    p.known = user != nullptr;
    p.failure = p.known ? "" : "GetNamedPipeClientProcessId failed";
    p.user = p.known ? user : "";
    p.session = session;
    p.processId = 4242;
    p.ownUser = own;
    p.ownSession = ownSession;
    return p;
}

Owner::Finding owner(Owner::Verdict verdict, const char* user, unsigned long session = 0) {
    Owner::Finding f;
    f.verdict = verdict;
    f.user = user;
    f.session = session;
    return f;
}

}  // namespace

TEST(BrokerTrust, AdmitsACopyOnlyAsTheAccountAndSessionTheSystemReports) {
    const struct {
        BrokerChannel::Peer copy;
        const char* claimedUser;
        unsigned long claimedSession;
        const char* key;     // null: refused
        const char* reason;  // in the refusal
    } cases[] = {
        {peer("uid 1000", 0), "uid 1000", 0, "uid 1000/0", ""},
        {peer("uid 0", 0), "uid 0", 0, "uid 0/0", ""},
        {peer(kAlice, 2), kAlice, 2, "S-1-5-21-1004336348-1177238915-682003330-1001/2", ""},
        // Poses as another account, or as another session of its own.
        {peer("uid 1001", 0), "uid 1000", 0, nullptr, "the system reports uid 1001"},
        {peer(kBob, 2), kAlice, 2, nullptr,
         "reports S-1-5-21-1004336348-1177238915-682003330-1002"},
        {peer(kAlice, 3), kAlice, 2, nullptr, "in logon session 3"},
        {peer(nullptr, 0), "uid 1000", 0, nullptr, "could not tell"},
    };
    for (const auto& c : cases) {
        const BrokerTrust::Admission a =
            BrokerTrust::admitCopy(c.copy, c.claimedUser, c.claimedSession);
        EXPECT_EQ(a.admitted, c.key != nullptr) << c.copy.user << " claiming " << c.claimedUser;
        if (c.key != nullptr) {
            EXPECT_EQ(a.key, c.key);
        } else {
            EXPECT_NE(a.reason.find(c.reason), std::string::npos) << a.reason;
        }
    }
}

TEST(BrokerTrust, ACopyTrustsOnlyTheSystemAccountOrItsOwn) {
    const struct {
        BrokerChannel::Peer broker;
        const char* system;
        bool trusted;
        const char* reason;  // names who it was
    } cases[] = {
        {peer("uid 0", 0), "uid 0", true, ""},
        {peer("uid 1000", 0, "uid 1000"), "uid 0", true, ""},
        {peer("uid 1001", 0, "uid 1000"), "uid 0", false, "served by uid 1001 (process id 4242)"},
        {peer(kSystem, 0, kAlice, 2), kSystem, true, ""},
        {peer(kAlice, 3, kAlice, 2), kSystem, true, ""},
        {peer(kBob, 2, kAlice, 2), kSystem, false, kBob},
        {peer(nullptr, 0), "uid 0", false, "could not tell"},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(BrokerTrust::trustsBroker(c.broker, c.system, reason), c.trusted)
            << c.broker.user;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST(BrokerTrust, RoutesAPageToItsOwnAccountsCopyOnly) {
    using Route = BrokerTrust::Route;
    const std::string alice2 = BrokerTrust::accountKey(kAlice, 2);
    const std::set<std::string> none, one{"uid 1000/0"}, two{"uid 1000/0", "uid 1001/0"},
        windows{alice2, BrokerTrust::accountKey(kBob, 2)};
    const struct {
        Owner::Finding page;
        const std::set<std::string>& copies;
        Route route;
        std::string key;
    } cases[] = {
        {owner(Owner::kOtherUser, "uid 1000"), two, Route::toCopy, "uid 1000/0"},
        {owner(Owner::kSameUser, "uid 0"), two, Route::noCopy, "uid 0/0"},
        {owner(Owner::kOtherUser, "uid 1002"), two, Route::noCopy, "uid 1002/0"},
        {owner(Owner::kOtherUser, kAlice, 2), windows, Route::toCopy, alice2},
        // The same account in another logon session has a copy of its own, or none.
        {owner(Owner::kOtherSession, kAlice, 3), windows, Route::noCopy,
         BrokerTrust::accountKey(kAlice, 3)},
        // Owner process id 0 (Wine): only where exactly one copy could be meant.
        {owner(Owner::kNotRecorded, ""), none, Route::unknownOwner, ""},
        {owner(Owner::kNotRecorded, ""), one, Route::toCopy, "uid 1000/0"},
        {owner(Owner::kNotRecorded, ""), two, Route::unknownOwner, ""},
        {owner(Owner::kUnknown, ""), one, Route::unknownOwner, ""},
        {owner(Owner::kUnknown, "uid 1000"), one, Route::unknownOwner, ""},
    };
    for (const auto& c : cases) {
        const std::string only = c.copies.size() == 1 ? *c.copies.begin() : std::string();
        const BrokerTrust::Handoff h = BrokerTrust::route(
            c.page, [&](const std::string& key) { return c.copies.count(key) > 0; }, only);
        EXPECT_EQ(h.route, c.route) << c.page.user << " verdict " << c.page.verdict;
        EXPECT_EQ(h.key, c.key) << c.page.user << " verdict " << c.page.verdict;
    }
}

TEST(BrokerProtocol, ReadsItsOwnMessagesAndRefusesEverythingElse) {
    using P = transport::BrokerProtocol;
    P::Message m;
    ASSERT_TRUE(P::parse(P::hello("uid 1000", 3), m));
    EXPECT_TRUE(m.kind == P::Kind::hello && m.version == P::kVersion && m.user == "uid 1000" &&
                m.session == 3);
    ASSERT_TRUE(P::parse(P::refused(P::Refusal::registered, "a\tcopy\nis there"), m));
    EXPECT_TRUE(m.kind == P::Kind::refused && m.refusal == P::Refusal::registered &&
                m.reason == "a copy is there");
    ASSERT_TRUE(P::parse(P::socket(18446744073709551615ull), m));
    EXPECT_TRUE(m.kind == P::Kind::socket && m.id == 18446744073709551615ull);
    ASSERT_TRUE(P::parse(P::took(7), m));
    EXPECT_TRUE(m.kind == P::Kind::took && m.id == 7);
    EXPECT_TRUE(P::parse(P::welcome(), m) && m.kind == P::Kind::welcome);
    EXPECT_TRUE(P::parse(P::released(), m) && m.kind == P::Kind::released);

    const char* const garbage[] = {
        "",
        "HELLO\t1\tuid 1000\t0",
        "hello\t1\tuid 1000",
        "hello\t1\tuid 1000\t0\t",
        "hello\t\tuid 1000\t0",
        "hello\t1\t\t0",
        "hello\t1\tuid\x01 1000\t0",
        "hello\t-1\tuid 1000\t0",
        "hello\t1\tuid 1000\t 0",
        "hello\t99999999999\tuid 1000\t0",
        "welcome\t",
        " welcome",
        "refused\tmaybe\tno",
        "refused\tdenied",
        "socket",
        "socket\t",
        "socket\t12x",
        "socket\t+12",
        "socket\t18446744073709551616",
        "took\t1\t2",
        "released\tnow",
        "GET / HTTP/1.1",
    };
    for (const char* text : garbage) {
        EXPECT_FALSE(P::parse(text, m)) << '"' << text << '"';
    }
}
