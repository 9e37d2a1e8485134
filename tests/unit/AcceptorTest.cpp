// Accepting stops for good once stopped, whatever has already completed by then.

#include <gtest/gtest.h>

#include "transport/Acceptor.h"

TEST(Acceptor, AnAcceptThatCompletedBeforeTheStopGoesNowhere) {
    transport::server endpoint;
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_error_channels(websocketpp::log::elevel::all);
    endpoint.init_asio();
    transport::Acceptor acceptor(endpoint);
    ASSERT_FALSE(acceptor.listen("127.0.0.1", 0));
    asio::io_service& loop = endpoint.get_io_service();
    // A page has connected, and the stop is queued ahead of the accept's completion: the accept
    // succeeds after the listening socket was closed.
    asio::ip::tcp::socket page(loop);
    page.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), acceptor.port()));
    loop.post([&] { acceptor.stop(); });
    acceptor.start();
    // Runs what is ready without waiting: nothing may be left to do, no connection started and no
    // accept retried on the closed socket.
    loop.poll();
    EXPECT_TRUE(loop.stopped());
}
