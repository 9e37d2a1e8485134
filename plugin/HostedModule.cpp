#include "plugin/HostedModule.h"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <iostream>
#include <utility>

#include "platform/ChildProcess.h"
#include "plugin/HostFrame.h"

namespace plugin {

namespace {

// How long a host asked to release its module may take before it is ended.
constexpr std::chrono::seconds kReleaseGrace(2);
constexpr std::size_t kReadChunk = 256 * 1024;

}  // namespace

// One host process and the traffic with it. Shared by the HostedModule (until it goes) and by
// the pending read and timer handlers, which keep it until the host has gone and been collected.
class HostedModule::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(asio::io_context& loop, std::unique_ptr<platform::ChildProcess> child, std::string name)
        : child(std::move(child)), timer(loop), name(std::move(name)), buffer(kReadChunk, '\0') {}

    void load(const std::string& location, Loaded loaded) {
        pendingLoad = std::move(loaded);
        HostFrame frame;
        frame.kind = HostFrame::kLoad;
        frame.first = location;
        send(frame);
        readMore();
    }

    void call(const char* method, const char* param, Done done) {
        if (ended) {
            done(goneOutcome());
            return;
        }
        pendingCall = std::move(done);
        HostFrame frame;
        frame.kind = HostFrame::kInvoke;
        frame.first = method;
        frame.second = param;
        send(frame);
    }

    // The module's owner has gone: nothing is answered any more; the host is asked to exit.
    void release() {
        pendingLoad = nullptr;
        pendingCall = nullptr;
        releasing = true;
        if (ended) {
            return;
        }
        HostFrame frame;
        frame.kind = HostFrame::kRelease;
        send(frame);
        timer.expires_after(kReleaseGrace);
        timer.async_wait([self = shared_from_this()](const std::error_code& error) {
            if (!error && !self->ended) {
                self->child->terminate();
            }
        });
    }

  private:
    static Outcome goneOutcome() {
        Outcome outcome;
        outcome.status = -1;
        outcome.moduleGone = true;
        return outcome;
    }

    void send(const HostFrame& frame) {
        // A failed write means the host is gone; the read side sees that and reports it.
        child->write(std::make_shared<const std::string>(frame.encode()),
                     [](const std::error_code&) {});
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
            onEnded();
            return;
        }
        reader.feed(buffer.data(), count);
        HostFrame frame;
        while (reader.next(frame)) {
            deliver(frame);
        }
        if (!reader.failed().empty()) {
            std::cerr << "ravelink: the host of module " << name << " sent unusable data ("
                      << reader.failed() << "); ending it" << std::endl;
            child->terminate();
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
        }
    }

    void onEnded() {
        ended = true;
        timer.cancel();
        const std::string how = child->collect();
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
    Loaded pendingLoad;
    Done pendingCall;
    bool releasing = false;
    bool ended = false;
};

std::unique_ptr<HostedModule> HostedModule::start(asio::io_context& loop, const std::string& host,
                                                  const std::string& location,
                                                  const std::string& name, Loaded loaded,
                                                  unsigned long& errorCode) {
    std::unique_ptr<platform::ChildProcess> child =
        platform::ChildProcess::start(loop, platform::ChildProcess::besideProgram(host), errorCode);
    if (!child) {
        std::cerr << "ravelink: no host could be started for module " << name << " (error code "
                  << errorCode << ")" << std::endl;
        return nullptr;
    }
    auto session = std::make_shared<Session>(loop, std::move(child), name);
    session->load(location, std::move(loaded));
    return std::unique_ptr<HostedModule>(new HostedModule(std::move(session)));
}

HostedModule::HostedModule(std::shared_ptr<Session> session) : session(std::move(session)) {}

HostedModule::~HostedModule() {
    session->release();
}

void HostedModule::call(const char* method, const char* param, Done done) {
    session->call(method, param, std::move(done));
}

}  // namespace plugin
