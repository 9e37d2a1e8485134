// wspp_echo PORT: the floor of the WebSocket library ravelink is built on.
#include <cstdio>
#include <cstdlib>

#include "WsppEcho.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wspp_echo PORT\n");
        return 2;
    }
    wsppecho::Server server;
    server.listen(std::atoi(argv[1]));
    server.run();
    return 0;
}
