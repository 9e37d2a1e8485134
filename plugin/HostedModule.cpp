#include "plugin/HostedModule.h"

#include <asio/steady_timer.hpp>

#include <cstring>
#include <deque>
#include <iostream>
#include <utility>

#include "platform/ChildProcess.h"
#include "plugin/HostFrame.h"

namespace plugin {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;

// Sessions whose process has not yet been seen to end; the event loop's thread only.
std::size_t hostsRunning = 0;

}  // namespace

// One host process and the traffic with it. Shared by the HostedModule (until it goes) and by
// the pending read, write, exit and timer handlers, which keep it until the host has ended, its
// pipe is closed and its process collected.
class HostedModule::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(asio::io_context& loop, std::unique_ptr<platform::ChildProcess> child, std::string name)
        : child(std::move(child)), timer(loop), name(std::move(name)), buffer(kReadChunk, '\0') {
        ++hostsRunning;
    }
    ~Session() {
        if (!ended) {
            --hostsRunning;
        }
    }

    void begin(const std::string& location, Loaded loaded) {
        pendingLoad = std::move(loaded);
        HostFrame frame;
        frame.kind = HostFrame::kLoad;
        frame.first = location;
        sendWhole(frame);
        readMore();
        child->whenExited(
            [self = shared_from_this()](const std::string& how) { self->onExited(how); });
    }

    void call(const char* method, const char* param, std::shared_ptr<const void> texts, Done done) {
        if (ended) {
            done(goneOutcome());
            return;
        }
        HostFrame frame;
        frame.kind = HostFrame::kInvoke;
        Outgoing out;
        out.first = method;
        out.firstSize = std::strlen(method);
        out.second = param;
        out.secondSize = std::strlen(param);
        out.texts = std::move(texts);
        if (!frame.fields(out.firstSize, out.secondSize, out.head)) {
            std::cerr << "ravelink: a call of module " << name
                      << " too large for its host; not sent" << std::endl;
            Outcome outcome;
            outcome.status = -1;
            done(std::move(outcome));
            return;
        }
        pendingCall = std::move(done);
        queue.push_back(std::move(out));
        writeNext();
    }

    // The module's owner has gone: nothing is answered any more; the host is asked to exit.
    void release() {
        pendingLoad = nullptr;
        releasing = true;
        // A frame being written goes out whole (it holds its texts until then); frames not yet
        // begun are never sent.
        if (writing) {
            queue.erase(queue.begin() + 1, queue.end());
        } else {
            queue.clear();
        }
        pendingCall = nullptr;
        if (ended) {
            return;
        }
        HostFrame frame;
        frame.kind = HostFrame::kRelease;
        sendWhole(frame);
        startGrace();
    }

  private:
    // One frame waiting to go, or going, to the host.
    struct Outgoing {
        std::string whole;                    // a frame that owns its texts, encoded
        char head[HostFrame::kFieldsSize]{};  // else its own bytes around `first` and `second`
        const char* first = nullptr;          // null: `whole` is the frame
        std::size_t firstSize = 0;
        const char* second = nullptr;
        std::size_t secondSize = 0;
        std::shared_ptr<const void> texts;  // keeps what `first` and `second` point into
    };

    static Outcome goneOutcome() {
        Outcome outcome;
        outcome.status = -1;
        outcome.moduleGone = true;
        return outcome;
    }

    void sendWhole(const HostFrame& frame) {
        Outgoing out;
        out.whole = frame.encode();
        queue.push_back(std::move(out));
        writeNext();
    }

    void writeNext() {
        if (writing || queue.empty() || ended) {
            return;
        }
        writing = true;
        const Outgoing& out = queue.front();
        platform::ChildProcess::Pieces pieces;
        if (out.first == nullptr) {
            pieces[0] = asio::buffer(out.whole);
        } else {
            pieces = {asio::buffer(out.head, HostFrame::kBeforeFirst),
                      asio::buffer(out.first, out.firstSize),
                      asio::buffer(out.head + HostFrame::kBeforeFirst,
                                   HostFrame::kFieldsSize - HostFrame::kBeforeFirst),
                      asio::buffer(out.second, out.secondSize)};
        }
        child->write(pieces, [self = shared_from_this()](const std::error_code& error) {
            self->onWritten(error);
        });
    }

    void onWritten(const std::error_code& error) {
        writing = false;
        queue.pop_front();  // the frame written; nothing else takes the front while `writing`
        if (error) {
            // The host is gone or going (nothing more can reach it): its end is reported once
            // its process has been collected.
            queue.clear();
            child->terminate();
            return;
        }
        writeNext();
    }

    void readMore() {
        child->readSome(
            buffer.data(), buffer.size(),
            [self = shared_from_this()](const std::error_code& error, std::size_t count) {
                self->onRead(error, count);
            });
    }

    void onRead(const std::error_code& error, std::size_t count) {
        if (error) {
            pipeEnded = true;
            if (!exited) {
                startGrace();
            }
            finishIfDone();
            return;
        }
        reader.feed(buffer.data(), count);
        HostFrame frame;
        while (unusable.empty() && reader.next(frame)) {
            deliver(frame);
        }
        if (unusable.empty() && !reader.failed().empty()) {
            unusable = reader.failed();
        }
        if (!unusable.empty()) {
            // Nothing more from it can be trusted: it is ended, and its pending load or call is
            // answered as gone once it has been collected.
            std::cerr << "ravelink: the host of module " << name << " sent unusable data ("
                      << unusable << "); ending it" << std::endl;
            child->terminate();
            pipeEnded = true;
            child->closePipe();
            finishIfDone();
            return;
        }
        readMore();
    }

    void deliver(HostFrame& frame) {
        if (frame.kind == HostFrame::kLoaded && pendingLoad) {
            Loaded loaded = std::move(pendingLoad);
            pendingLoad = nullptr;
            loaded(static_cast<unsigned long>(static_cast<std::uint32_t>(frame.code)), frame.flag);
        } else if (frame.kind == HostFrame::kAnswer && pendingCall) {
            Done done = std::move(pendingCall);
            pendingCall = nullptr;
            Outcome outcome;
            outcome.status = frame.code;
            outcome.answered = frame.flag;
            outcome.answer = std::move(frame.first);
            done(std::move(outcome));
        } else if (!releasing) {
            // An answer to nothing, or a second one; a frame only the program sends.
            unusable = "a frame of kind " + std::to_string(frame.kind) + " that was not asked for";
        }
        // Once released, a late answer or load report is dropped: nobody is waiting for it.
    }

    void onExited(const std::string& end) {
        exited = true;
        how = end;
        if (!pipeEnded) {
            // Something it started may hold its end of the pipe open: what was written before
            // its end is read for a while, then the pipe is closed.
            startGrace();
        }
        finishIfDone();
    }

    // Counts from the release, or from the first sign of the host's end; armed once.
    void startGrace() {
        if (graceStarted || ended) {
            return;
        }
        graceStarted = true;
        timer.expires_after(kReleaseGrace);
        timer.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error) {
                self->onGraceOver();
            }
        });
    }

    void onGraceOver() {
        if (ended) {
            return;
        }
        if (!exited) {
            std::cerr << "ravelink: the host of module " << name << " had not exited "
                      << kReleaseGrace.count() << " ms after "
                      << (releasing ? "its release" : "its pipe closed") << "; ending it"
                      << std::endl;
            child->terminate();
            return;
        }
        pipeEnded = true;
        child->closePipe();
        finishIfDone();
    }

    // The host has ended once its process is collected and its pipe read to the end: only then
    // are its last words known and its pending load or call answered.
    void finishIfDone() {
        if (ended || !exited || !pipeEnded) {
            return;
        }
        ended = true;
        --hostsRunning;
        timer.cancel();
        // A write still in progress fails now and empties the queue.
        child->closePipe();
        if (releasing) {
            return;
        }
        const char* during = pendingLoad ? "during its load" : pendingCall ? "during a call" : "";
        std::cerr << "ravelink: the host of module " << name << " ended " << during
                  << (*during ? " " : "") << "(" << how << ")" << std::endl;
        if (pendingLoad) {
            Loaded loaded = std::move(pendingLoad);
            pendingLoad = nullptr;
            loaded(platform::ChildProcess::brokenPipeCode(), false);
        } else if (pendingCall) {
            Done done = std::move(pendingCall);
            pendingCall = nullptr;
            done(goneOutcome());
        }
    }

    std::unique_ptr<platform::ChildProcess> child;
    asio::steady_timer timer;
    const std::string name;
    std::string buffer;
    HostFrame::Reader reader;
    std::string unusable;        // why the host's output can no longer be trusted
    std::deque<Outgoing> queue;  // the front one is being written while `writing`
    Loaded pendingLoad;
    Done pendingCall;
    std::string how;  // how the process ended, once `exited`
    bool writing = false;
    bool releasing = false;
    bool graceStarted = false;
    bool pipeEnded = false;
    bool exited = false;
    bool ended = false;  // exited, collected and its pipe closed: no longer counted as running
};

std::unique_ptr<HostedModule> HostedModule::start(asio::io_context& loop, const std::string& host,
                                                  const std::string& location,
                                                  const std::string& name, Loaded loaded,
                                                  unsigned long& errorCode) {
    if (hostsRunning >= kMaxHosts) {
        errorCode = platform::ChildProcess::tooManyProcessesCode();
        std::cerr << "ravelink: no host started for module " << name << ": " << kMaxHosts
                  << " host processes already run, the most this program keeps" << std::endl;
        return nullptr;
    }
    std::unique_ptr<platform::ChildProcess> child =
        platform::ChildProcess::start(loop, platform::ChildProcess::besideProgram(host), errorCode);
    if (!child) {
        std::cerr << "ravelink: no host could be started for module " << name << " (error code "
                  << errorCode << ")" << std::endl;
        return nullptr;
    }
    auto session = std::make_shared<Session>(loop, std::move(child), name);
    session->begin(location, std::move(loaded));
    return std::unique_ptr<HostedModule>(new HostedModule(std::move(session)));
}

std::size_t HostedModule::running() {
    return hostsRunning;
}

HostedModule::HostedModule(std::shared_ptr<Session> session) : session(std::move(session)) {}

HostedModule::~HostedModule() {
    session->release();
}

void HostedModule::call(const char* method, const char* param, std::shared_ptr<const void> texts,
                        Done done) {
    session->call(method, param, std::move(texts), std::move(done));
}

}  // namespace plugin
