#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>

#include "plugin/LoadedModule.h"

namespace plugin {

// A module running in a host process of its own (a ravelink-host program beside this one), one
// process per load of a connection: a crash or a hang in the module ends or holds that process
// only. Requests and answers travel as HostFrames over a pipe that the event loop watches; the
// program never waits for the host.
//
// The host's life is not tied to this object's: destroying it asks the host to release the module
// and exit, and a host still there after two seconds is ended. That part is owned by the pipe's
// pending read and timer on the event loop, so the loop runs until every host has gone.
class HostedModule : public LoadedModule {
  public:
    // How a load came out: 0 or the error code for the load-failure reply, and whether the module
    // has an "Invoke" export.
    using Loaded = std::function<void(unsigned long errorCode, bool callable)>;

    // Starts the host program `host` (a name beside this program) on `loop` and asks it to load
    // `location`; `loaded` runs once, later, from the
    // event loop. When no host can be started, returns null with `errorCode` set. `name` is what
    // the page asked for, for the error log.
    static std::unique_ptr<HostedModule> start(asio::io_context& loop, const std::string& host,
                                               const std::string& location, const std::string& name,
                                               Loaded loaded, unsigned long& errorCode);
    ~HostedModule() override;
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    void call(const char* method, const char* param, Done done) override;
    bool answersLater() const override { return true; }

    class Session;

  private:
    explicit HostedModule(std::shared_ptr<Session> session);
    std::shared_ptr<Session> session;
};

}  // namespace plugin
