#include "transport/ConnectionReplySink.h"

#include <utility>

#include "transport/ReplyBacklog.h"

namespace transport {

ConnectionReplySink::ConnectionReplySink(connection_ptr connection, ReplyBacklog& backlog)
    : connection(std::move(connection)), backlog(backlog) {}

void ConnectionReplySink::send(std::string&& reply) {
    using websocketpp::frame::opcode::text;
    // The library's send copies the payload twice (into a message, then into a frame). Every open
    // connection speaks RFC 6455's framing (see HandshakeRequest), so the reply becomes the frame's
    // payload as it is: the frame is unmasked and unfragmented, and the reply is already valid
    // UTF-8.
    message_ptr frame = connection->get_message(text, 0);
    const websocketpp::frame::basic_header header(text, reply.size(), true, false);
    const websocketpp::frame::extended_header extended(reply.size());
    frame->set_header(websocketpp::frame::prepare_header(header, extended));
    const std::size_t bytes = frame->get_header().size() + reply.size();
    frame->get_raw_payload().swap(reply);
    frame->set_prepared(true);
    // A connection that is no longer open refuses the send; that reply is dropped on purpose.
    if (!connection->send(frame)) {
        unsent.push_back(Unsent{frame, bytes});
        unsentTotal += bytes;
        backlog.replySent(this);
    }
}

void ConnectionReplySink::holdRequests(bool hold) {
    backlog.awaitAnswer(this, hold);
}

std::size_t ConnectionReplySink::unsentBytes() const {
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
void ConnectionReplySink::pauseReading() {
    connection->handle_pause_reading();
}

void ConnectionReplySink::resumeReading() {
    connection->handle_resume_reading();
}

}  // namespace transport
