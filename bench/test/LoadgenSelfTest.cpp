// Correctness of the benchmark's load generator: its histogram's percentiles on known data, its
// WebSocket frame writer and reader on the RFC's own examples and on every length class, and short
// runs against the raw TCP echo and the bare websocketpp echo checking that every request was
// answered and counted. No timing is asserted: the figures themselves belong to the benchmark.

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "Client.h"
#include "Histogram.h"
#include "RawEcho.h"
#include "WsFrame.h"
#include "WsppEcho.h"

namespace {

int passed = 0;
int failed = 0;

#define CHECK(condition)                                                       \
    do {                                                                       \
        if (condition) {                                                       \
            ++passed;                                                          \
        } else {                                                               \
            ++failed;                                                          \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition); \
        }                                                                      \
    } while (0)

#define CHECK_EQ(a, b)                                                                             \
    do {                                                                                           \
        const auto va = (a);                                                                       \
        const auto vb = (b);                                                                       \
        if (va == vb) {                                                                            \
            ++passed;                                                                              \
        } else {                                                                                   \
            ++failed;                                                                              \
            std::printf("FAILED %s:%d: %s == %s (%llu vs %llu)\n", __FILE__, __LINE__, #a, #b,     \
                        static_cast<unsigned long long>(va), static_cast<unsigned long long>(vb)); \
        }                                                                                          \
    } while (0)

using loadgen::Histogram;

void histogramSmallValuesAreExact() {
    Histogram h;
    for (std::uint64_t v = 1; v <= 100; ++v) {
        h.record(v);
    }
    CHECK_EQ(h.count(), 100u);
    CHECK_EQ(h.min(), 1u);
    CHECK_EQ(h.max(), 100u);
    CHECK_EQ(h.percentile(50), 50u);
    CHECK_EQ(h.percentile(99), 99u);
    CHECK_EQ(h.percentile(99.9), 100u);
    CHECK_EQ(h.percentile(100), 100u);
    CHECK_EQ(h.percentile(0), 1u);
    CHECK(std::fabs(h.mean() - 50.5) < 1e-9);
}

void histogramLargeValuesWithinResolution() {
    Histogram h;
    const std::uint64_t n = 1000000;
    for (std::uint64_t v = 1; v <= n; ++v) {
        h.record(v * 1000);  // 1 us .. 1 s in ns
    }
    for (double p : {10.0, 50.0, 90.0, 99.0, 99.9, 99.99}) {
        const double exact = std::ceil(p / 100.0 * n) * 1000.0;
        const double got = static_cast<double>(h.percentile(p));
        CHECK(got >= exact);
        CHECK(got <= exact * (1.0 + 1.0 / 128.0));
    }
    CHECK_EQ(h.percentile(100), n * 1000);
}

void histogramBucketsCoverEveryValue() {
    std::vector<std::uint64_t> values;
    for (int bit = 0; bit < 64; ++bit) {
        const std::uint64_t p = std::uint64_t{1} << bit;
        values.push_back(p);
        values.push_back(p - 1);
        values.push_back(p + 1);
        values.push_back(p + p / 3);
    }
    values.push_back(~std::uint64_t{0});
    std::uint64_t x = 88172645463325252ull;
    for (int i = 0; i < 10000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        values.push_back(x >> (i % 60));
    }
    int misplaced = 0;
    int tooWide = 0;
    for (std::uint64_t v : values) {
        const std::size_t b = Histogram::bucketOf(v);
        if (Histogram::lowestIn(b) > v || Histogram::highestIn(b) < v) {
            ++misplaced;
        }
        const std::uint64_t width = Histogram::highestIn(b) - Histogram::lowestIn(b);
        if (v >= 128 && width > v / 128) {
            ++tooWide;
        }
        if (v < 128 && width != 0) {
            ++tooWide;
        }
    }
    CHECK_EQ(misplaced, 0);
    CHECK_EQ(tooWide, 0);
    // Neighbouring buckets leave no gap.
    int gaps = 0;
    for (std::size_t b = 0; b + 1 < 5000; ++b) {
        if (Histogram::highestIn(b) + 1 != Histogram::lowestIn(b + 1)) {
            ++gaps;
        }
    }
    CHECK_EQ(gaps, 0);
}

void histogramTailAndMerge() {
    Histogram fast, slow, all;
    for (int i = 0; i < 990; ++i) {
        fast.record(100000);
        all.record(100000);
    }
    for (int i = 0; i < 10; ++i) {
        slow.record(50000000);
        all.record(50000000);
    }
    Histogram merged;
    merged.merge(fast);
    merged.merge(slow);
    CHECK_EQ(merged.count(), 1000u);
    for (double p : {50.0, 99.0, 99.1, 99.9, 100.0}) {
        CHECK_EQ(merged.percentile(p), all.percentile(p));
    }
    CHECK(merged.percentile(99) < 100000 * 1.01);
    CHECK(merged.percentile(99.1) >= 50000000);
    CHECK_EQ(merged.percentile(99.9), 50000000u);  // clamped to the maximum
    Histogram empty;
    CHECK_EQ(empty.percentile(99), 0u);
    merged.clear();
    CHECK_EQ(merged.count(), 0u);
}

std::string bytes(std::initializer_list<int> list) {
    std::string s;
    for (int b : list) {
        s.push_back(static_cast<char>(b));
    }
    return s;
}

void framesMatchTheRfcExamples() {
    std::string out;
    wsframe::appendFrame(out, wsframe::kText, "Hello", 5, false, 0);
    CHECK(out == bytes({0x81, 0x05, 0x48, 0x65, 0x6c, 0x6c, 0x6f}));

    out.clear();
    wsframe::appendFrame(out, wsframe::kText, "Hello", 5, true, 0x37fa213d);
    CHECK(out == bytes({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58}));

    const std::string k256(256, 'a');
    out.clear();
    wsframe::appendFrame(out, wsframe::kBinary, k256.data(), k256.size(), false, 0);
    CHECK(out.compare(0, 4, bytes({0x82, 0x7E, 0x01, 0x00})) == 0);
    CHECK_EQ(out.size(), 4u + 256u);

    const std::string k64(65536, 'a');
    out.clear();
    wsframe::appendFrame(out, wsframe::kBinary, k64.data(), k64.size(), false, 0);
    CHECK(out.compare(0, 10, bytes({0x82, 0x7F, 0, 0, 0, 0, 0, 0x01, 0, 0})) == 0);
    CHECK_EQ(out.size(), 10u + 65536u);
}

void framesRoundTripAtEveryLengthClass() {
    for (std::size_t size : {0u, 1u, 7u, 125u, 126u, 127u, 65535u, 65536u, 70001u, 1u << 20}) {
        std::string payload(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            payload[i] = static_cast<char>(i * 131 + 7);
        }
        std::string frame;
        wsframe::appendFrame(frame, wsframe::kText, payload.data(), payload.size(), true,
                             0xA1B2C3D4u);
        CHECK_EQ(frame.size(), wsframe::headerSize(size, true) + size);
        wsframe::Header header;
        CHECK(wsframe::parseHeader(frame.data(), frame.size(), header) ==
              wsframe::ParseStatus::kComplete);
        CHECK(header.fin);
        CHECK_EQ(header.opcode, wsframe::kText);
        CHECK(header.masked);
        CHECK_EQ(header.payloadLength, size);
        CHECK_EQ(header.headerLength, wsframe::headerSize(size, true));
        std::string body = frame.substr(header.headerLength);
        CHECK(size < 4 || body != payload);  // it really was masked
        // Unmasked in two pieces, as a reader that gets the payload in parts would.
        const std::size_t cut = size / 3;
        wsframe::applyMask(&body[0] + 0, cut, header.mask, 0);
        if (size > cut) {
            wsframe::applyMask(&body[cut], size - cut, header.mask, cut);
        }
        CHECK(body == payload);
        int early = 0;
        for (std::size_t prefix = 0; prefix < header.headerLength; ++prefix) {
            wsframe::Header partial;
            if (wsframe::parseHeader(frame.data(), prefix, partial) !=
                wsframe::ParseStatus::kNeedMore) {
                ++early;
            }
        }
        CHECK_EQ(early, 0);
    }
}

void malformedHeadersAreRefused() {
    wsframe::Header header;
    CHECK(wsframe::parseHeader(bytes({0xC1, 0x00}).data(), 2, header) ==
          wsframe::ParseStatus::kMalformed);
    CHECK(wsframe::parseHeader(bytes({0x83, 0x00}).data(), 2, header) ==
          wsframe::ParseStatus::kMalformed);
    CHECK(wsframe::parseHeader(bytes({0x89, 0x7E, 0x00, 0x80}).data(), 4, header) ==
          wsframe::ParseStatus::kMalformed);
    CHECK(wsframe::parseHeader(bytes({0x09, 0x00}).data(), 2, header) ==
          wsframe::ParseStatus::kMalformed);
    CHECK(wsframe::parseHeader(bytes({0x82, 0x7F, 0x80, 0, 0, 0, 0, 0, 0, 0}).data(), 10, header) ==
          wsframe::ParseStatus::kMalformed);
    CHECK(wsframe::parseHeader(bytes({0x01, 0x03}).data(), 2, header) ==
          wsframe::ParseStatus::kComplete);
    CHECK(!header.fin);
}

void invokeRequestsHaveTheAskedSize() {
    loadgen::Config config;
    config.payload = loadgen::Payload::kInvoke;
    config.size = 200;
    const std::string request = loadgen::requestPayload(config, 7);
    CHECK_EQ(request.size(), 200u);
    CHECK(request.rfind("{\"MsgId\":\"7\",\"Method\":\"noop\",\"Param\":\"xxx", 0) == 0);
    CHECK(request.compare(request.size() - 3, 3, "x\"}") == 0);
    config.param = "1048576";
    config.method = "answer";
    CHECK(loadgen::requestPayload(config, 12) ==
          "{\"MsgId\":\"12\",\"Method\":\"answer\",\"Param\":\"1048576\"}");
}

void runsAgainstTheRawEchoCountEveryReply() {
    int port = 0;
    const int fd = rawecho::listenLoopback(0, port);
    CHECK(fd >= 0);
    if (fd < 0) {
        return;
    }
    std::atomic<bool> stop{false};
    std::thread server([&] { rawecho::serve(fd, stop); });

    loadgen::Config closed;
    closed.protocol = loadgen::Protocol::kRaw;
    closed.port = port;
    closed.size = 100;
    closed.connections = 4;
    closed.requests = 2000;
    loadgen::Result r = loadgen::run(closed);
    CHECK(r.ok());
    CHECK_EQ(r.sent, 2000u);
    CHECK_EQ(r.replies, 2000u);
    CHECK_EQ(r.latencyNs.count(), 2000u);
    CHECK_EQ(r.errors, 0u);

    loadgen::Config paced = closed;
    paced.rate = 4000;
    paced.requests = 300;
    paced.connections = 3;
    r = loadgen::run(paced);
    CHECK(r.ok());
    CHECK_EQ(r.replies, 300u);
    CHECK_EQ(r.latencyNs.count(), 300u);

    loadgen::Config large = closed;
    large.size = 3 << 20;
    large.connections = 1;
    large.requests = 3;
    r = loadgen::run(large);
    CHECK(r.ok());
    CHECK_EQ(r.replies, 3u);

    bool held = false;
    loadgen::Config idle = closed;
    idle.requests = 0;
    idle.connections = 50;
    r = loadgen::run(idle, [&](const loadgen::Result& during) { held = during.errors == 0; });
    CHECK(held);
    CHECK_EQ(r.sent, 0u);

    stop = true;
    server.join();
    ::close(fd);

    loadgen::Config nobody = closed;  // the port is closed now
    r = loadgen::run(nobody);
    CHECK(!r.ok());
    CHECK_EQ(r.replies, 0u);
}

void runsAgainstTheWebSocketEchoCountEveryReply() {
    wsppecho::Server server;
    const int port = server.listen(0);
    std::thread thread([&] { server.run(); });

    for (std::size_t size : {20u, 1000u, 100000u}) {
        loadgen::Config config;
        config.port = port;
        config.size = size;
        config.connections = 3;
        config.requests = 60;
        const loadgen::Result r = loadgen::run(config);
        CHECK(r.ok());
        CHECK_EQ(r.replies, 60u);
        CHECK_EQ(r.latencyNs.count(), 60u);
        if (!r.firstError.empty()) {
            std::printf("  size %zu: %s\n", size, r.firstError.c_str());
        }
    }
    // An echo of an invoke request is not a successful invoke reply: every one is counted wrong.
    loadgen::Config invoke;
    invoke.port = port;
    invoke.payload = loadgen::Payload::kInvoke;
    invoke.connections = 2;
    invoke.requests = 10;
    const loadgen::Result r = loadgen::run(invoke);
    CHECK_EQ(r.replies, 10u);
    CHECK_EQ(r.errors, 10u);

    server.stop();
    thread.join();
}

}  // namespace

int main() {
    histogramSmallValuesAreExact();
    histogramLargeValuesWithinResolution();
    histogramBucketsCoverEveryValue();
    histogramTailAndMerge();
    framesMatchTheRfcExamples();
    framesRoundTripAtEveryLengthClass();
    malformedHeadersAreRefused();
    invokeRequestsHaveTheAskedSize();
    runsAgainstTheRawEchoCountEveryReply();
    runsAgainstTheWebSocketEchoCountEveryReply();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
