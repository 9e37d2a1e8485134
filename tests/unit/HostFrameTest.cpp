// The frames between the program and a module's host process: whole frames come back as they
// went, however the pipe cuts them; input that cannot be a frame stops the reader.

#include <gtest/gtest.h>

#include <string>

#include "plugin/HostFrame.h"

using plugin::HostFrame;

namespace {

HostFrame answer(std::int32_t code, std::string text) {
    HostFrame frame;
    frame.kind = HostFrame::kAnswer;
    frame.flag = true;
    frame.code = code;
    frame.first = std::move(text);
    return frame;
}

std::string u32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
    return bytes;
}

}  // namespace

TEST(HostFrame, FramesCutAnywhereComeBackWhole) {
    HostFrame invoke;
    invoke.kind = HostFrame::kInvoke;
    invoke.first = "echo";
    invoke.second = std::string("a\0b\xff", 4);
    const std::string bytes = invoke.encode() + answer(-7, "").encode() + answer(0, "x").encode();
    for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
        HostFrame::Reader reader;
        HostFrame last;
        reader.feed(bytes.data(), cut);
        int taken = 0;
        while (reader.next(last)) {
            ++taken;
        }
        reader.feed(bytes.data() + cut, bytes.size() - cut);
        while (reader.next(last)) {
            ++taken;
        }
        ASSERT_EQ(taken, 3) << "cut at " << cut;
        EXPECT_TRUE(reader.failed().empty());
        EXPECT_FALSE(reader.partial());
        EXPECT_EQ(last.kind, HostFrame::kAnswer);
        EXPECT_EQ(last.first, "x");
    }
    HostFrame::Reader reader;
    HostFrame frame;
    reader.feed(bytes.data(), bytes.size());
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.first, "echo");
    EXPECT_EQ(frame.second, std::string("a\0b\xff", 4));
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.code, -7);
    EXPECT_TRUE(frame.flag);
}

TEST(HostFrame, ALargeAnswerFedInSmallPiecesIsWhole) {
    const std::string bytes = answer(0, std::string(30 * 1024 * 1024, 'x')).encode();
    HostFrame::Reader reader;
    HostFrame frame;
    for (std::size_t at = 0; at < bytes.size(); at += 65536) {
        EXPECT_FALSE(reader.next(frame));
        reader.feed(bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at));
    }
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.first.size(), 30u * 1024 * 1024);
}

TEST(HostFrame, ACutFrameIsPartialNotFailed) {
    const std::string bytes = answer(0, "answer").encode();
    HostFrame::Reader reader;
    HostFrame frame;
    reader.feed(bytes.data(), bytes.size() - 1);
    EXPECT_FALSE(reader.next(frame));
    EXPECT_TRUE(reader.failed().empty());
    EXPECT_TRUE(reader.partial());
}

TEST(HostFrame, InputThatCannotBeAFrameStopsTheReader) {
    const std::string header = std::string("\x04\x00", 2) + u32(0);  // answer, flag clear, code 0
    const struct {
        const char* what;
        std::string bytes;
        const char* failure;
    } cases[] = {
        {"oversized", u32(HostFrame::kMaxBody + 1), "over the limit"},
        {"shorter than its header", u32(3) + "abc", "too short"},
        {"unknown kind", u32(14) + "\x09" + std::string(13, '\0'), "unknown kind"},
        {"flag not 0 or 1", u32(14) + "\x04\x02" + std::string(12, '\0'), "unknown kind"},
        {"first text past the end", u32(14) + header + u32(100) + u32(0), "do not fit"},
        {"second text short of the end", u32(16) + header + u32(0) + u32(1) + "ab", "do not fit"},
        // a first length whose sum with 4 wraps to 1 in a 32-bit size_t
        {"first text of 4 GiB", u32(15) + header + u32(0xFFFFFFFDu) + "x" + u32(0), "do not fit"},
        {"garbage", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "over the limit"},
    };
    for (const auto& item : cases) {
        HostFrame::Reader reader;
        HostFrame frame;
        reader.feed(item.bytes.data(), item.bytes.size());
        EXPECT_FALSE(reader.next(frame)) << item.what;
        EXPECT_NE(reader.failed().find(item.failure), std::string::npos)
            << item.what << ": " << reader.failed();
        // Nothing after unusable input is taken, not even a good frame.
        const std::string good = answer(0, "late").encode();
        reader.feed(good.data(), good.size());
        EXPECT_FALSE(reader.next(frame)) << item.what;
    }
}
