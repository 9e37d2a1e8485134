#pragma once

#include <asio/steady_timer.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "transport/FlowControlled.h"
#include "transport/ReplySink.h"
#include "transport/WebSocketTypes.h"

namespace transport {

class ReplyBacklog;

// Everything the program keeps for one WebSocket connection beside its plug-in host (which the
// PluginsManager keeps): where its replies go and what of them is still unsent, its flow state in
// the reply backlog (paused, requests held and their weight, reading stopped; see FlowControlled),
// and the watch for its page closing while its reading is stopped. The program keeps one per
// connection, in one table, from the open to the library freeing the connection object.
//
// Its life, and who may call what:
// - open: made in one step (the constructor) when the library reports the connection open, and
//   put in the front end's table. The front end hands each request to the backlog with it
//   (ReplyBacklog::wouldHold, handle) and reads connection(); the plug-in host, which shares it as
//   its ReplySink, calls send() and holdRequests(); the backlog calls unsentBytes(),
//   pauseReading() and resumeReading(). While its reading is stopped it watches its socket without
//   reading; a page seen to have closed or reset is ended (terminate), and the library then
//   reports the close as any other.
// - leaving: the front end calls leave() once, when the library reports the close (after the
//   plug-in host has released its modules): its held requests are dropped, its weight leaves the
//   backlog's totals, and it lets go of the connection object. From then on send() drops the
//   reply, holdRequests() and the backlog's calls change nothing, connection() is null; only
//   gone() is asked. When much memory drained, the front end keeps it until gone() (the library
//   has freed the connection object, and with it the unsent replies), so it knows when that
//   memory can go back to the system; otherwise it drops it at once. It is destroyed once the
//   plug-in host has let go too.
// Single-threaded, on the thread that runs the event loop. Always owned by a shared_ptr (the front
// end's table and the plug-in host); the backlog must outlive it.
class ServedConnection : public ReplySink,
                         public FlowControlled,
                         public std::enable_shared_from_this<ServedConnection> {
  public:
    ServedConnection(connection_ptr connection, ReplyBacklog& backlog);
    ~ServedConnection() override;

    // ReplySink, for the plug-in host.
    void send(std::string&& reply) override;
    void holdRequests(bool hold) override;

    // FlowControlled, for the backlog.
    std::size_t unsentBytes() const override;
    void pauseReading() override;
    void resumeReading() override;

    // Open to leaving; called once, when the library reports the close.
    void leave();
    bool leaving() const { return !served; }
    // The library's connection object while open; null once leaving.
    const connection_ptr& connection() const { return served; }
    // Leaving, and the library has freed the connection object.
    bool gone() const { return leaving() && object.expired(); }

  private:
    struct Unsent {
        std::weak_ptr<message_ptr::element_type> message;  // expires when the library frees it
        std::size_t bytes;
    };

    // While reading is stopped: waits until the socket is readable, without reading.
    void watchForClose();
    // Looks, without reading, whether the page has closed or reset; ends the connection if so,
    // else looks again later.
    void lookForClose();

    connection_ptr served;  // null once leaving
    std::weak_ptr<connection_ptr::element_type> object;
    ReplyBacklog& backlog;
    // Replies handed to the library and not yet freed by it, oldest first (the library frees them
    // in the order they were sent), and their bytes. Trimmed as they expire, hence mutable.
    mutable std::deque<Unsent> unsent;
    mutable std::size_t unsentTotal = 0;
    bool readingPaused = false;
    bool waitingReadable = false;  // a wait on the socket is outstanding
    // Re-looks while data waits unread behind the stopped reading (the socket stays readable, so
    // waiting on it again would spin). Made when first needed.
    std::unique_ptr<asio::steady_timer> relook;
};

}  // namespace transport
