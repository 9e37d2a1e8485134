#pragma once

#include <memory>

namespace wsppecho {

// The bare websocketpp echo server: websocketpp's stock Asio configuration without TLS, every log
// channel cleared, listening on 127.0.0.1 the way ravelink does, one thread. Each received message
// goes back with its own opcode.
class Server {
  public:
    Server();
    ~Server();
    // Binds 127.0.0.1:`port` (0: any free port) and returns the bound port; throws on failure.
    int listen(int port);
    void run();   // serves until stop()
    void stop();  // from any thread

  private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace wsppecho
