#pragma once

#include <functional>
#include <string>

namespace platform {

// Runs a program's body as a system service when the system's service manager started the process,
// and directly otherwise, so the same program serves both from the same main().
//
// Windows: StartServiceCtrlDispatcherW for the service `name`; the body runs on the service's
// thread, reported running while it runs and stopped, with its exit code, when it returns. The
// manager's stop and shutdown controls call `requestStop` on the manager's thread, not the
// body's: it only hands the request to the body's event loop (asio::post). Started from a console
// or by hand (the manager does not name this process as the service's), the body just runs. A
// service has no console: its standard error is appended to <ProgramData>\<name>\<name>.log.
// Linux: the body just runs (systemd starts a service as a plain process; stop requests arrive as
// signals, which the body handles itself).
class ServiceHost {
  public:
    // Returns the body's exit code. `requestStop` may be called more than once (a stop, then a
    // shutdown), and before the body's loop runs or after it has ended; never after run() returns.
    static int run(const std::string& name, std::function<void()> requestStop,
                   const std::function<int()>& body);
};

}  // namespace platform
