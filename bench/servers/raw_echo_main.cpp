// raw_echo PORT: the floor of loopback TCP; echoes every byte back on one thread.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "RawEcho.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: raw_echo PORT\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    int port = 0;
    const int fd = rawecho::listenLoopback(std::atoi(argv[1]), port);
    if (fd < 0) {
        std::perror("raw_echo: listen");
        return 1;
    }
    static std::atomic<bool> stop{false};
    rawecho::serve(fd, stop);
    return 0;
}
