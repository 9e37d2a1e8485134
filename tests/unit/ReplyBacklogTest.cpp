// The bound on unsent replies and held requests: when a connection stops being read, what is held,
// when reading resumes, and the total across connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "transport/ReplyBacklog.h"

using transport::ReplyBacklog;

namespace {

// A connection whose unsent bytes the test sets, as if the peer read or did not.
class FakeConnection : public transport::FlowControlled {
  public:
    std::size_t unsentBytes() const override { return unsent; }
    void pauseReading() override { ++pauses; }
    void resumeReading() override { ++resumes; }

    std::size_t unsent = 0;
    int pauses = 0;
    int resumes = 0;
};

constexpr std::size_t kOverhead = ReplyBacklog::kReplyOverhead;
constexpr std::size_t kHeld = ReplyBacklog::kRequestOverhead;

// As the program's timer does: hands poll() those connections that weigh.
void poll(ReplyBacklog& backlog, std::initializer_list<FakeConnection*> connections) {
    std::vector<transport::FlowControlled*> weighing;
    for (FakeConnection* connection : connections) {
        if (ReplyBacklog::weighs(*connection)) {
            weighing.push_back(connection);
        }
    }
    backlog.poll(weighing);
}

}  // namespace

TEST(ReplyBacklog, PausesPastTheConnectionBoundHoldsRequestsInOrderAndLosesNone) {
    ReplyBacklog backlog(2000, 1000000);
    FakeConnection page;
    std::vector<int> handled;
    auto request = [&](int id) {
        return [&, id] {
            handled.push_back(id);
            page.unsent += 800;
            backlog.replySent(page);
        };
    };
    backlog.handle(page, request(1));  // 800 + 1 * overhead: under
    backlog.handle(page, request(2));  // 1600 + 2 * overhead: over
    EXPECT_TRUE(ReplyBacklog::paused(page));
    EXPECT_EQ(page.pauses, 1);
    backlog.handle(page, request(3));
    backlog.handle(page, request(4));
    EXPECT_EQ(handled, (std::vector<int>{1, 2}));

    page.unsent = 1100;  // read a little: still above half the bound
    poll(backlog, {&page});
    EXPECT_TRUE(ReplyBacklog::paused(page));
    EXPECT_EQ(handled.size(), 2u);
    page.unsent = 500;  // 500 + 2 * overhead: under the bound, but not yet under half of it
    poll(backlog, {&page});
    EXPECT_TRUE(ReplyBacklog::paused(page));
    EXPECT_EQ(handled.size(), 2u);

    page.unsent = 0;  // caught up: held requests run, in order, until the bound is crossed again
    poll(backlog, {&page});
    EXPECT_EQ(handled, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(ReplyBacklog::paused(page));
    EXPECT_EQ(page.resumes, 0);

    page.unsent = 0;
    poll(backlog, {&page});
    EXPECT_FALSE(ReplyBacklog::paused(page));
    EXPECT_EQ(page.resumes, 1);
    EXPECT_FALSE(backlog.pending());
}

TEST(ReplyBacklog, ShortRepliesWeighTheirBookkeepingToo) {
    // A flood of empty requests gets replies of about 90 bytes; counted by bytes alone, a bound of
    // 64 MiB would let hundreds of megabytes of message objects pile up.
    ReplyBacklog backlog(100 * (90 + kOverhead), 1000000000);
    FakeConnection page;
    int replies = 0;
    while (!ReplyBacklog::paused(page) && replies < 1000) {
        backlog.handle(page, [&] {
            ++replies;
            page.unsent += 90;
            backlog.replySent(page);
        });
    }
    EXPECT_EQ(replies, 101);
    // All but one read: 90 bytes cannot hold more than three replies, however many were sent
    // since nothing was unsent, so the connection weighs little and resumes.
    page.unsent = 90;
    poll(backlog, {&page});
    EXPECT_FALSE(ReplyBacklog::paused(page));
}

TEST(ReplyBacklog, PastTheTotalConnectionsWithUnsentRepliesPause) {
    ReplyBacklog backlog(70000, 3000);
    FakeConnection a, b, c, reader;
    auto reply = [&](FakeConnection& connection, std::size_t bytes) {
        backlog.handle(connection, [&, bytes] {
            connection.unsent += bytes;
            backlog.replySent(connection);
        });
    };
    reply(a, 700);
    reply(b, 700);
    EXPECT_FALSE(ReplyBacklog::paused(a) || ReplyBacklog::paused(b));
    reply(c, 700);  // the total crosses 3000
    EXPECT_EQ(backlog.total(), 3 * (700 + kOverhead));
    EXPECT_TRUE(ReplyBacklog::paused(c));
    EXPECT_FALSE(ReplyBacklog::paused(a));  // paused on its next reply
    reply(a, 700);
    EXPECT_TRUE(ReplyBacklog::paused(a));
    // a page that reads its replies is paused only until its reply has gone, and loses nothing
    int read = 0;
    backlog.handle(reader, [&] {
        ++read;
        reader.unsent += 100;
        backlog.replySent(reader);
    });
    EXPECT_TRUE(ReplyBacklog::paused(reader));
    backlog.handle(reader, [&] { ++read; });
    EXPECT_EQ(read, 1);
    reader.unsent = 0;
    poll(backlog, {&a, &b, &c, &reader});
    EXPECT_FALSE(ReplyBacklog::paused(reader));
    EXPECT_EQ(read, 2);

    a.unsent = 0;  // drained: resumes, though the total is still above three quarters
    poll(backlog, {&a, &b, &c, &reader});
    EXPECT_FALSE(ReplyBacklog::paused(a));
    EXPECT_TRUE(ReplyBacklog::paused(c));
    b.unsent = 0;  // now the total is low enough for c as well
    poll(backlog, {&a, &b, &c, &reader});
    EXPECT_FALSE(ReplyBacklog::paused(c));
    EXPECT_EQ(backlog.total(), 700 + kOverhead);
}

TEST(ReplyBacklog, RepliesTheLibraryHasFreedMakeALargeDrain) {
    ReplyBacklog backlog(64 * ReplyBacklog::kMiB, 256 * ReplyBacklog::kMiB);
    FakeConnection page;
    for (int reply = 0; reply < 3; ++reply) {
        backlog.handle(page, [&] {
            page.unsent += 8 * ReplyBacklog::kMiB;
            backlog.replySent(page);
        });
    }
    page.unsent = 12 * ReplyBacklog::kMiB;  // 12 MiB freed: not yet worth giving back
    poll(backlog, {&page});
    EXPECT_FALSE(backlog.takeLargeDrain());
    page.unsent = 0;  // 24 MiB in all
    poll(backlog, {&page});
    EXPECT_TRUE(backlog.takeLargeDrain());
    EXPECT_FALSE(backlog.takeLargeDrain());
    EXPECT_FALSE(backlog.pending());
}

TEST(ReplyBacklog, RemovingAConnectionDropsItsHeldRequestsAndItsShare) {
    ReplyBacklog backlog(1000, 1000000);
    FakeConnection page;
    int handled = 0;
    auto request = [&] {
        ++handled;
        page.unsent += 20 * ReplyBacklog::kMiB;
        backlog.replySent(page);
    };
    backlog.handle(page, request);
    backlog.handle(page, request);  // held
    EXPECT_FALSE(backlog.takeLargeDrain());
    backlog.remove(page);
    EXPECT_EQ(backlog.total(), 0u);
    EXPECT_TRUE(backlog.takeLargeDrain());  // 20 MiB gone at once: worth giving back
    EXPECT_FALSE(backlog.takeLargeDrain());
    poll(backlog, {&page});
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(backlog.pending());
}

TEST(ReplyBacklog, HeldRequestsWeighTheirBookkeepingAgainstTheConnectionBound) {
    // Requests held while a call is answered later: empty ones weigh their bookkeeping alone, so
    // a flood of them stops reading as surely as large ones do.
    struct Case {
        std::size_t bytes;
        int heldWhenReadingStops;
    };
    for (const Case& test : {Case{0, 101}, Case{kHeld, 51}, Case{100 * kHeld, 1}}) {
        SCOPED_TRACE(test.bytes);
        ReplyBacklog backlog(100 * kHeld, 1000000000);
        FakeConnection page;
        backlog.holdRequests(page, true);
        std::vector<int> handled;
        int held = 0;
        while (page.pauses == 0 && held < 1000) {
            const int id = held++;
            backlog.handle(
                page, [&handled, id] { handled.push_back(id); }, test.bytes);
        }
        EXPECT_EQ(held, test.heldWhenReadingStops);
        EXPECT_EQ(backlog.total(), held * (test.bytes + kHeld));
        EXPECT_TRUE(handled.empty());
        // the answer is in: every held request runs, in order, and reading resumes
        backlog.holdRequests(page, false);
        EXPECT_EQ(handled.size(), static_cast<std::size_t>(held));
        EXPECT_TRUE(std::is_sorted(handled.begin(), handled.end()));
        EXPECT_EQ(page.resumes, 1);
        EXPECT_EQ(backlog.total(), 0u);
    }
}

TEST(ReplyBacklog, HeldRequestsCountTowardTheTotalAndWithUnsentReplies) {
    ReplyBacklog backlog(100 * kHeld, 10 * kHeld);
    FakeConnection a, b;
    backlog.holdRequests(a, true);
    backlog.holdRequests(b, true);
    for (int request = 0; request < 6; ++request) {
        backlog.handle(a, [] {});
    }
    for (int request = 0; request < 4; ++request) {
        backlog.handle(b, [] {});
    }
    EXPECT_EQ(a.pauses + b.pauses, 0);  // at the total, not past it
    backlog.handle(b, [] {});           // crosses it: the page that holds more stops being read
    EXPECT_EQ(b.pauses, 1);
    EXPECT_EQ(a.pauses, 0);
    backlog.handle(a, [] {});  // and so does every page that holds another one meanwhile
    EXPECT_EQ(a.pauses, 1);
    backlog.remove(b);
    EXPECT_EQ(backlog.total(), 7 * kHeld);

    backlog.remove(a);
    EXPECT_EQ(backlog.total(), 0u);

    // a connection's unsent replies and its held requests share its bound
    ReplyBacklog own(100 * kHeld, 1000000000);
    FakeConnection page;
    own.handle(page, [&] {
        page.unsent = 90 * kHeld;  // with its overhead, 91 requests' worth
        own.replySent(page);
    });
    EXPECT_EQ(page.pauses, 0);
    own.holdRequests(page, true);
    int held = 0;
    while (page.pauses == 0 && held < 100) {
        ++held;
        own.handle(page, [] {});
    }
    EXPECT_EQ(held, 10);
}
