#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <string>

namespace platform {

// Runs a program's body as a system service when the system's service manager started the process,
// and directly otherwise, so the same program serves both from the same main().
//
// Windows: StartServiceCtrlDispatcherW for the service `name`; the body runs on the service's
// thread, reported running while it runs and stopped, with its exit code, when it returns. The
// manager's stop and shutdown controls reach the body as `stop`, posted onto `loop` (so `stop`
// runs on the loop's thread, like every other handler of the body). Started from a console or by
// hand (the dispatcher cannot connect to a manager), the body just runs.
// Linux: the body just runs (systemd starts a service as a plain process; stop requests arrive as
// signals, which the body handles itself).
class ServiceHost {
  public:
    // Returns the body's exit code. `stop` may be posted more than once (a stop, then a shutdown);
    // one posted after the body's loop has ended never runs. `loop` must outlive the call.
    static int run(const std::string& name, asio::io_context& loop, std::function<void()> stop,
                   const std::function<int()>& body);
};

}  // namespace platform
