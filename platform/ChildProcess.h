#pragma once

#include <asio/buffer.hpp>
#include <asio/io_context.hpp>

#include <array>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace platform {

// A helper program started by this one, joined to it by a private pipe that the event loop
// watches. The child's standard streams are this program's; the pipe is handed over separately
// (see ParentPipe, the child's side), so whatever the child writes to its output never mixes with
// the pipe's traffic. Nothing else of this program (its listening socket, its pages' connections)
// reaches the child.
//
// Owns the process: destroying this object ends a child that has not been collected, so no child
// outlives its owner unnoticed (that wait is for a killed process, only ever when the owner goes
// before the child was seen to end, as when the event loop is torn down). Single-threaded, on the
// thread that runs the event loop; nothing here ever waits for the child on that thread; a
// handler is never called after the object is gone.
class ChildProcess {
  public:
    using ReadHandler = std::function<void(const std::error_code&, std::size_t)>;
    using WriteHandler = std::function<void(const std::error_code&)>;
    using ExitHandler = std::function<void(const std::string& how)>;

    // Starts `program` (a full path) on `loop`. On failure returns null and sets `errorCode` to
    // the platform's code for it (an errno value; Windows: GetLastError). Windows: no child is
    // started when its inheritance cannot be limited to its end of the pipe.
    static std::unique_ptr<ChildProcess> start(asio::io_context& loop, const std::string& program,
                                               unsigned long& errorCode);
    // The full path of `name` (no extension; ".exe" is added on Windows) in this program's folder.
    static std::string besideProgram(const std::string& name);
    // The platform's code for a pipe whose other end is gone (EPIPE; ERROR_BROKEN_PIPE).
    static unsigned long brokenPipeCode();
    // The platform's code for a process that is not started because too many run (EAGAIN, as
    // fork gives at the process limit; ERROR_NO_PROC_SLOTS).
    static unsigned long tooManyProcessesCode();

    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads what the child has written, at most `size` bytes into `buffer` (which must stay valid
    // until the handler runs). The end of the child's side is reported as an error.
    void readSome(char* buffer, std::size_t size, ReadHandler handler);
    // Up to four pieces of one write; empty ones are skipped.
    using Pieces = std::array<asio::const_buffer, 4>;
    // Writes all of `pieces`, in order (a gathered write: no piece is copied); what they point to
    // must stay valid until the handler runs. One write at a time: the caller waits for the
    // handler before the next write, or the child would read the two interleaved. A child that
    // has gone fails the write with an error; it never ends this program (no SIGPIPE).
    void write(const Pieces& pieces, WriteHandler handler);
    // Closes the program's end of the pipe: a pending read or write ends with an error.
    void closePipe();
    // Ends the child now, whatever it is doing. Nothing once it has been collected.
    void terminate();
    // Calls `exited` once, from the event loop, when the child has ended and been collected, with
    // how it ended ("signal 11 (Segmentation fault)", "exit code 3", Windows: "exit code
    // 0xC0000005"). Called once per child.
    void whenExited(ExitHandler exited);

  private:
    struct Parts;
    explicit ChildProcess(std::unique_ptr<Parts> parts);
    std::unique_ptr<Parts> parts;  // the process handle or id and the program's end of the pipe
};

}  // namespace platform
