#include "transport/ServedConnection.h"

#include <asio/error.hpp>
#include <asio/socket_base.hpp>

#include <chrono>
#include <system_error>
#include <utility>

#include "platform/SocketPeek.h"
#include "transport/ReplyBacklog.h"

namespace transport {

namespace {

// How often a connection whose reading is stopped, with data from its page waiting unread, is
// looked at again for a close behind that data.
constexpr std::chrono::milliseconds kRelookInterval(250);

}  // namespace

ServedConnection::ServedConnection(connection_ptr connection, ReplyBacklog& backlog)
    : served(connection), object(connection), backlog(backlog) {}

ServedConnection::~ServedConnection() = default;

void ServedConnection::send(std::string&& reply) {
    if (!served) {
        return;  // its page has gone
    }
    using websocketpp::frame::opcode::text;
    // The library's send copies the payload twice (into a message, then into a frame). Every open
    // connection speaks RFC 6455's framing (see HandshakeRequest), so the reply becomes the frame's
    // payload as it is: the frame is unmasked and unfragmented, and the reply is already valid
    // UTF-8.
    message_ptr frame = served->get_message(text, 0);
    const websocketpp::frame::basic_header header(text, reply.size(), true, false);
    const websocketpp::frame::extended_header extended(reply.size());
    frame->set_header(websocketpp::frame::prepare_header(header, extended));
    const std::size_t bytes = frame->get_header().size() + reply.size();
    frame->get_raw_payload().swap(reply);
    frame->set_prepared(true);
    // A connection that is no longer open refuses the send; that reply is dropped on purpose.
    if (!served->send(frame)) {
        unsent.push_back(Unsent{frame, bytes});
        unsentTotal += bytes;
        backlog.replySent(*this);
    }
}

void ServedConnection::holdRequests(bool hold) {
    backlog.holdRequests(*this, hold);
}

std::size_t ServedConnection::unsentBytes() const {
    while (!unsent.empty() && unsent.front().message.expired()) {
        unsentTotal -= unsent.front().bytes;
        unsent.pop_front();
    }
    return unsentTotal;
}

// The library's pause_reading() and resume_reading() only post these two to the event loop. Posted,
// a pause lands after the library has asked for the next read, and a later resume would then start
// a second read beside the one outstanding. Called directly, on the one thread that runs the loop
// and from inside a message handler, the pause is in place before the library asks, so no read is
// outstanding while paused and resuming starts exactly one.
void ServedConnection::pauseReading() {
    if (!served) {
        return;
    }
    served->handle_pause_reading();
    readingPaused = true;
    watchForClose();
}

void ServedConnection::resumeReading() {
    readingPaused = false;
    if (relook) {
        relook->cancel();
    }
    if (served) {
        served->handle_resume_reading();
    }
}

void ServedConnection::leave() {
    if (!served) {
        return;
    }
    backlog.remove(*this);
    readingPaused = false;
    relook.reset();
    served.reset();
}

// With reading stopped, the library would see the page's close only once it reads again, which
// may be never: a page that filled its bound during a hung call and closed would keep its module
// (and the host it runs in) for as long as the program runs. A wait for readability takes nothing
// from the socket; an outstanding one is left to complete on its own (cancelling it would cancel
// the library's writes on the same socket too), and then finds nothing to do.
void ServedConnection::watchForClose() {
    if (waitingReadable || !readingPaused || !served) {
        return;
    }
    waitingReadable = true;
    std::weak_ptr<ServedConnection> self = shared_from_this();
    served->get_raw_socket().async_wait(asio::socket_base::wait_read,
                                        [self](const std::error_code& error) {
                                            const auto record = self.lock();
                                            if (!record) {
                                                return;
                                            }
                                            record->waitingReadable = false;
                                            if (!error) {
                                                record->lookForClose();
                                            }
                                        });
}

void ServedConnection::lookForClose() {
    if (!readingPaused || !served) {
        return;
    }
    asio::ip::tcp::socket& socket = served->get_raw_socket();
    switch (platform::SocketPeek::look(
        static_cast<platform::SocketPeek::Handle>(socket.native_handle()))) {
        case platform::SocketPeek::Seen::closed: {
            // Ended as a failed read would end it: the library reports the close, and the front
            // end's close path releases the connection's modules.
            readingPaused = false;
            served->terminate(asio::error::make_error_code(asio::error::eof));
            return;
        }
        case platform::SocketPeek::Seen::nothing:
            watchForClose();
            return;
        case platform::SocketPeek::Seen::data:
            break;
    }
    if (!relook) {
        relook = std::make_unique<asio::steady_timer>(socket.get_executor());
    }
    relook->expires_after(kRelookInterval);
    std::weak_ptr<ServedConnection> self = shared_from_this();
    relook->async_wait([self](const std::error_code& error) {
        const auto record = self.lock();
        if (record && !error) {
            record->lookForClose();
        }
    });
}

}  // namespace transport
