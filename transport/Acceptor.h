#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "transport/WebSocketTypes.h"

namespace transport {

// Listens on one address and hands every accepted TCP connection to the endpoint, in place of the
// library's own accept loop, which tries again at once after a failure: out of descriptors, that
// is a loop burning a core and writing an error line per attempt.
//
// Here, after a failed accept, accepting pauses for kRetryMilliseconds and is tried again, while
// open connections are served as ever; the error log gets one line when failures begin and the
// access log one when accepting works again. Accepted sockets get TCP_NODELAY: a reply is one
// write, and Nagle's algorithm would only hold it back waiting for the page's acknowledgement.
//
// It also serves sockets accepted elsewhere (the machine's broker hands each page's connection to
// its account's copy): adopt() starts one exactly as an accepted one. Listening can end while
// open connections are served on (when the broker takes the port over), and start again later.
//
// Lives on the endpoint's event loop; the endpoint must outlive it.
class Acceptor {
  public:
    static constexpr long kRetryMilliseconds = 100;

    explicit Acceptor(server& endpoint);
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Binds to address:port and listens, with the platform's listening options (see
    // platform::ListenOptions). Call after the endpoint's init_asio(); again after
    // stopListening(), to listen once more.
    std::error_code listen(const std::string& address, unsigned short port);

    // Opens `acceptor` on `where`, with the platform's listening options, binds and listens;
    // closes it again on failure. What listen() does, for a listener of its own (the broker's).
    static std::error_code openListening(websocketpp::lib::asio::ip::tcp::acceptor& acceptor,
                                         const websocketpp::lib::asio::ip::tcp::endpoint& where);

    // The port listened on (the one the system chose when listen() was given 0); 0 when not
    // listening.
    unsigned short port() const;

    // Starts accepting; returns at once, the endpoint's run() does the work.
    void start();

    // Closes the listening socket and drops a pending retry; open and adopted connections are
    // served on. An accept that completed just before is served, and no further one is made.
    void stopListening();

    // Serves `nativeSocket`, a connected TCP socket (a file descriptor, or a Windows SOCKET) that
    // this object now owns, exactly as if it had accepted it: TCP_NODELAY, then the endpoint's
    // handshake, with its checks. After stop(), or when the endpoint cannot take it, the socket is
    // closed (the failure goes to the error log).
    void adopt(std::uintptr_t nativeSocket);

    // Stops accepting for good: closes the listening socket and drops a pending retry, so that the
    // endpoint's run() returns once its open connections are gone. Whatever completes afterwards
    // (an accept that finished just before, a retry already due) is dropped.
    void stop();

  private:
    void acceptInto(connection_ptr connection);
    void onAccepted(connection_ptr connection, const std::error_code& error, unsigned generation);
    void serve(const connection_ptr& connection);

    server& endpoint;
    std::unique_ptr<websocketpp::lib::asio::ip::tcp::acceptor> acceptor;
    std::unique_ptr<websocketpp::lib::asio::steady_timer> retry;
    bool failing = false;
    bool stopped = false;
    // Counts listen() calls: what completes for an earlier listening socket does not accept again.
    unsigned generation = 0;
};

}  // namespace transport
