// loadgen: ravelink's load generator. One thread, epoll, N connections; closed-loop or fixed-rate.
// Prints one line of key=value figures; with --hold it then keeps every connection open until it
// is signalled, so the server's memory can be read while they sit idle.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Client.h"
#include "ConnectRate.h"

namespace {

void usage() {
    std::fprintf(
        stderr,
        "usage: loadgen --port P [--raw] [--invoke] [--method M] [--param TEXT] [--size BYTES]\n"
        "               [--load-module PATH [--isolated]] [--conns N] [--rate PER_SECOND]\n"
        "               [--warmup S] [--duration S | --requests N] [--hold] [--connect]\n"
        "  --raw      plain TCP, 4-byte big-endian length before each payload (default WebSocket)\n"
        "  --invoke   ravelink invoke requests {\"MsgId\",\"Method\",\"Param\"} padded to --size\n"
        "  --rate     fixed rate over all connections, latency timed from each intended send\n"
        "  --connect  connection set-up: --conns slots each connect, hand-shake and close, over\n"
        "             and over; prints completed cycles per second and the set-up time\n");
}

void print(const loadgen::Result& r) {
    const double us = 1e3;
    std::printf(
        "replies=%llu measured=%llu sent=%llu errors=%llu seconds=%.3f rps=%.1f "
        "p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f mean_us=%.1f samples=%llu\n",
        static_cast<unsigned long long>(r.replies),
        static_cast<unsigned long long>(r.measuredReplies), static_cast<unsigned long long>(r.sent),
        static_cast<unsigned long long>(r.errors), r.measuredSeconds,
        r.measuredSeconds > 0 ? static_cast<double>(r.measuredReplies) / r.measuredSeconds : 0.0,
        static_cast<double>(r.latencyNs.percentile(50)) / us,
        static_cast<double>(r.latencyNs.percentile(99)) / us,
        static_cast<double>(r.latencyNs.percentile(99.9)) / us,
        static_cast<double>(r.latencyNs.max()) / us, r.latencyNs.mean() / us,
        static_cast<unsigned long long>(r.latencyNs.count()));
    if (!r.firstError.empty()) {
        std::printf("error: %s\n", r.firstError.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    loadgen::Config config;
    bool hold = false;
    bool connectRate = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            config.port = std::atoi(next());
        } else if (arg == "--host") {
            config.host = next();
        } else if (arg == "--raw") {
            config.protocol = loadgen::Protocol::kRaw;
        } else if (arg == "--invoke") {
            config.payload = loadgen::Payload::kInvoke;
        } else if (arg == "--method") {
            config.method = next();
        } else if (arg == "--param") {
            config.param = next();
        } else if (arg == "--size") {
            config.size = std::strtoull(next(), nullptr, 10);
        } else if (arg == "--load-module") {
            config.loadModule = next();
        } else if (arg == "--isolated") {
            config.isolated = true;
        } else if (arg == "--conns") {
            config.connections = std::atoi(next());
        } else if (arg == "--rate") {
            config.rate = std::atof(next());
        } else if (arg == "--warmup") {
            config.warmupSeconds = std::atof(next());
        } else if (arg == "--duration") {
            config.durationSeconds = std::atof(next());
        } else if (arg == "--requests") {
            config.requests = std::strtoull(next(), nullptr, 10);
        } else if (arg == "--hold") {
            hold = true;
        } else if (arg == "--connect") {
            connectRate = true;
        } else {
            usage();
            return 2;
        }
    }
    if (config.port <= 0 || (config.payload == loadgen::Payload::kInvoke &&
                             config.protocol == loadgen::Protocol::kRaw)) {
        usage();
        return 2;
    }
    rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    signal(SIGPIPE, SIG_IGN);
    // The default 50 us timer slack would let fixed-rate sends leave late, and that lateness would
    // be charged to the server, since replies are timed from the intended send time.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    if (connectRate) {
        loadgen::ConnectRateConfig cycles;
        cycles.host = config.host;
        cycles.port = config.port;
        cycles.connections = config.connections;
        cycles.warmupSeconds = config.warmupSeconds;
        cycles.durationSeconds = config.durationSeconds > 0 ? config.durationSeconds : 1;
        const loadgen::ConnectRateResult r = loadgen::runConnectRate(cycles);
        std::printf(
            "cycles=%llu measured=%llu errors=%llu seconds=%.3f cps=%.1f p50_us=%.1f "
            "p99_us=%.1f\n",
            static_cast<unsigned long long>(r.cycles),
            static_cast<unsigned long long>(r.measuredCycles),
            static_cast<unsigned long long>(r.errors), r.measuredSeconds,
            static_cast<double>(r.measuredCycles) / r.measuredSeconds,
            static_cast<double>(r.setUpNs.percentile(50)) / 1e3,
            static_cast<double>(r.setUpNs.percentile(99)) / 1e3);
        if (!r.firstError.empty()) {
            std::printf("error: %s\n", r.firstError.c_str());
        }
        return r.ok() ? 0 : 1;
    }
    const loadgen::Result result = loadgen::run(config, [&](const loadgen::Result& r) {
        if (hold) {
            print(r);
            std::printf("HOLD\n");
            std::fflush(stdout);
            for (;;) {
                pause();  // ended by the signal of whoever reads the server's memory
            }
        }
    });
    if (!hold) {
        print(result);
    }
    return result.ok() ? 0 : 1;
}
