#pragma once

#include <asio/io_context.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

// A helper program started by this one, joined to it by a private pipe that the event loop
// watches. The child's standard streams are this program's; the pipe is handed over separately
// (see ParentPipe, the child's side), so whatever the child writes to its output never mixes with
// the pipe's traffic.
//
// Owns the process: destroying this object ends a child still running and collects it, so no
// child outlives its owner unnoticed. Single-threaded, on the thread that runs the event loop; a
// handler is never called after the object is gone.
class ChildProcess {
  public:
    using ReadHandler = std::function<void(const std::error_code&, std::size_t)>;
    using WriteHandler = std::function<void(const std::error_code&)>;

    // Starts `program` (a full path) on `loop`. On failure returns null and sets `errorCode` to
    // the platform's code for it (an errno value; Windows: GetLastError).
    static std::unique_ptr<ChildProcess> start(asio::io_context& loop, const std::string& program,
                                               unsigned long& errorCode);
    // The full path of `name` (no extension; ".exe" is added on Windows) in this program's folder.
    static std::string besideProgram(const std::string& name);
    // The platform's code for a pipe whose other end is gone (EPIPE; ERROR_BROKEN_PIPE).
    static unsigned long brokenPipeCode();

    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads what the child has written, at most `size` bytes into `buffer` (which must stay valid
    // until the handler runs). The end of the child's side is reported as an error.
    void readSome(char* buffer, std::size_t size, ReadHandler handler);
    // Writes all of `bytes`, which stay shared until the handler runs.
    void write(std::shared_ptr<const std::string> bytes, WriteHandler handler);
    // Ends the child now, whatever it is doing.
    void terminate();
    // Collects a child whose pipe has ended and says how it ended ("signal 11", "exit code 3",
    // Windows: "exit code 0xC0000005"). A child that still runs after a moment is ended first.
    std::string collect();

  private:
    struct Parts;
    explicit ChildProcess(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts;  // the process handle or id and the program's end of the pipe
};

}  // namespace platform
