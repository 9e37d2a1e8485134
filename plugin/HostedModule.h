#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "plugin/LoadedModule.h"

namespace plugin {

// A module running in a host process of its own (a ravelink-host program beside this one): a
// crash or a hang in the module ends or holds that process only. Requests and answers travel as
// HostFrames over a pipe that the event loop watches; the program never waits for the host.
//
// Frames to the host go out one at a time, in order, each in one gathered write (a call's texts
// are sent from the request that holds them, never copied): a release waits behind a call whose
// write is in progress, so a host never reads a cut frame. A host that sends what cannot be a
// frame, or answers what was not asked, is ended and its pending load or call answered as gone.
//
// The host's life is not tied to this object's: destroying it drops the pending load or call
// (its callback never runs), asks the host to release the module and exit, and a host still
// there kReleaseGrace later is ended, with one line in the error log. That part is owned by the
// pending handlers on the event loop, so the loop runs until every host has gone.
//
// At most kMaxHosts host processes run at a time in this program, released ones that have not yet
// ended included; start() beyond that fails with ChildProcess::tooManyProcessesCode().
class HostedModule : public LoadedModule {
  public:
    // How a load came out: 0 or the error code for the load-failure reply, and whether the module
    // has an "Invoke" export.
    using Loaded = std::function<void(unsigned long errorCode, bool callable)>;

    // The most host processes that run at a time.
    static constexpr std::size_t kMaxHosts = 256;
    // How long a released host may take to exit. Short enough that a host released during a hung
    // call ends within two seconds of the release; long enough for a module's own clean-up.
    static constexpr std::chrono::milliseconds kReleaseGrace{1000};

    // Starts the host program `host` (a name beside this program) on `loop` and asks it to load
    // `location`; `loaded` runs once, later, from the event loop. When no host can be started,
    // returns null with `errorCode` set. `name` is what the page asked for, for the error log.
    static std::unique_ptr<HostedModule> start(asio::io_context& loop, const std::string& host,
                                               const std::string& location, const std::string& name,
                                               Loaded loaded, unsigned long& errorCode);
    // How many host processes run now: started and not yet seen to end.
    static std::size_t running();

    ~HostedModule() override;
    HostedModule(const HostedModule&) = delete;
    HostedModule& operator=(const HostedModule&) = delete;

    // `method` and `param` are sent from where they are; `texts` stays with the frame until it has
    // been written, however the call ends.
    void call(const char* method, const char* param, std::shared_ptr<const void> texts,
              Done done) override;
    bool answersLater() const override { return true; }

    class Session;

  private:
    explicit HostedModule(std::shared_ptr<Session> session);
    std::shared_ptr<Session> session;
};

}  // namespace plugin
