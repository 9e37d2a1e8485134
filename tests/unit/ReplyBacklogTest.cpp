// The bound on unsent replies: when a connection stops being read, what is held, when reading
// resumes, and the total across connections.

#include <gtest/gtest.h>

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

}  // namespace

TEST(ReplyBacklog, PausesPastTheConnectionBoundHoldsRequestsInOrderAndLosesNone) {
    ReplyBacklog backlog(2000, 1000000);
    FakeConnection page;
    backlog.add(&page);
    std::vector<int> handled;
    auto request = [&](int id) {
        return [&, id] {
            handled.push_back(id);
            page.unsent += 800;
            backlog.replySent(&page);
        };
    };
    backlog.handle(&page, request(1));  // 800 + 1 * overhead: under
    backlog.handle(&page, request(2));  // 1600 + 2 * overhead: over
    EXPECT_TRUE(backlog.paused(&page));
    EXPECT_EQ(page.pauses, 1);
    backlog.handle(&page, request(3));
    backlog.handle(&page, request(4));
    EXPECT_EQ(handled, (std::vector<int>{1, 2}));

    page.unsent = 1100;  // read a little: still above half the bound
    backlog.poll();
    EXPECT_TRUE(backlog.paused(&page));
    EXPECT_EQ(handled.size(), 2u);
    page.unsent = 500;  // 500 + 2 * overhead: under the bound, but not yet under half of it
    backlog.poll();
    EXPECT_TRUE(backlog.paused(&page));
    EXPECT_EQ(handled.size(), 2u);

    page.unsent = 0;  // caught up: held requests run, in order, until the bound is crossed again
    backlog.poll();
    EXPECT_EQ(handled, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(backlog.paused(&page));
    EXPECT_EQ(page.resumes, 0);

    page.unsent = 0;
    backlog.poll();
    EXPECT_FALSE(backlog.paused(&page));
    EXPECT_EQ(page.resumes, 1);
    EXPECT_FALSE(backlog.pending());
}

TEST(ReplyBacklog, ShortRepliesWeighTheirBookkeepingToo) {
    // A flood of empty requests gets replies of about 90 bytes; counted by bytes alone, a bound of
    // 64 MiB would let hundreds of megabytes of message objects pile up.
    ReplyBacklog backlog(100 * (90 + kOverhead), 1000000000);
    FakeConnection page;
    backlog.add(&page);
    int replies = 0;
    while (!backlog.paused(&page) && replies < 1000) {
        backlog.handle(&page, [&] {
            ++replies;
            page.unsent += 90;
            backlog.replySent(&page);
        });
    }
    EXPECT_EQ(replies, 101);
    // All but one read: 90 bytes cannot hold more than three replies, however many were sent
    // since nothing was unsent, so the connection weighs little and resumes.
    page.unsent = 90;
    backlog.poll();
    EXPECT_FALSE(backlog.paused(&page));
}

TEST(ReplyBacklog, PastTheTotalConnectionsWithUnsentRepliesPause) {
    ReplyBacklog backlog(70000, 3000);
    FakeConnection a, b, c, reader;
    for (FakeConnection* connection : {&a, &b, &c, &reader}) {
        backlog.add(connection);
    }
    auto reply = [&](FakeConnection& connection, std::size_t bytes) {
        backlog.handle(&connection, [&, bytes] {
            connection.unsent += bytes;
            backlog.replySent(&connection);
        });
    };
    reply(a, 700);
    reply(b, 700);
    EXPECT_FALSE(backlog.paused(&a) || backlog.paused(&b));
    reply(c, 700);  // the total crosses 3000
    EXPECT_EQ(backlog.total(), 3 * (700 + kOverhead));
    EXPECT_TRUE(backlog.paused(&c));
    EXPECT_FALSE(backlog.paused(&a));  // paused on its next reply
    reply(a, 700);
    EXPECT_TRUE(backlog.paused(&a));
    // a page that reads its replies is paused only until its reply has gone, and loses nothing
    int read = 0;
    backlog.handle(&reader, [&] {
        ++read;
        reader.unsent += 100;
        backlog.replySent(&reader);
    });
    EXPECT_TRUE(backlog.paused(&reader));
    backlog.handle(&reader, [&] { ++read; });
    EXPECT_EQ(read, 1);
    reader.unsent = 0;
    backlog.poll();
    EXPECT_FALSE(backlog.paused(&reader));
    EXPECT_EQ(read, 2);

    a.unsent = 0;  // drained: resumes, though the total is still above three quarters
    backlog.poll();
    EXPECT_FALSE(backlog.paused(&a));
    EXPECT_TRUE(backlog.paused(&c));
    b.unsent = 0;  // now the total is low enough for c as well
    backlog.poll();
    EXPECT_FALSE(backlog.paused(&c));
    EXPECT_EQ(backlog.total(), 700 + kOverhead);
}

TEST(ReplyBacklog, RepliesTheLibraryHasFreedMakeALargeDrain) {
    ReplyBacklog backlog(64 * ReplyBacklog::kMiB, 256 * ReplyBacklog::kMiB);
    FakeConnection page;
    backlog.add(&page);
    for (int reply = 0; reply < 3; ++reply) {
        backlog.handle(&page, [&] {
            page.unsent += 8 * ReplyBacklog::kMiB;
            backlog.replySent(&page);
        });
    }
    page.unsent = 12 * ReplyBacklog::kMiB;  // 12 MiB freed: not yet worth giving back
    backlog.poll();
    EXPECT_FALSE(backlog.takeLargeDrain());
    page.unsent = 0;  // 24 MiB in all
    backlog.poll();
    EXPECT_TRUE(backlog.takeLargeDrain());
    EXPECT_FALSE(backlog.takeLargeDrain());
    EXPECT_FALSE(backlog.pending());
}

TEST(ReplyBacklog, RemovingAConnectionDropsItsHeldRequestsAndItsShare) {
    ReplyBacklog backlog(1000, 1000000);
    FakeConnection page;
    backlog.add(&page);
    int handled = 0;
    auto request = [&] {
        ++handled;
        page.unsent += 20 * ReplyBacklog::kMiB;
        backlog.replySent(&page);
    };
    backlog.handle(&page, request);
    backlog.handle(&page, request);  // held
    EXPECT_FALSE(backlog.takeLargeDrain());
    backlog.remove(&page);
    EXPECT_EQ(backlog.total(), 0u);
    EXPECT_TRUE(backlog.takeLargeDrain());  // 20 MiB gone at once: worth giving back
    EXPECT_FALSE(backlog.takeLargeDrain());
    backlog.poll();
    EXPECT_EQ(handled, 1);
    EXPECT_FALSE(backlog.pending());
}
