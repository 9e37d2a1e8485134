// Helper processes on Linux and other POSIX systems: ChildProcess and ParentPipe.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "platform/ChildProcess.h"
#include "platform/ParentPipe.h"

extern char** environ;

namespace platform {

namespace {

// The descriptor the child finds its end of the pipe on, and the arguments that say so.
constexpr int kChildPipe = 3;

std::string ownFolder() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    std::string program;
    if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
        program.assign(buffer, static_cast<size_t>(length));
    } else if (const auto* started = reinterpret_cast<const char*>(getauxval(AT_EXECFN))) {
        // No /proc (a bare chroot): the path this program was started by.
        program = started;
    }
    const std::string::size_type slash = program.rfind('/');
    return slash == std::string::npos ? std::string("./") : program.substr(0, slash + 1);
}

std::string describe(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = strsignal(WTERMSIG(status));
        return "signal " + std::to_string(WTERMSIG(status)) +
               (name ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status)) {
        return "exit code " + std::to_string(WEXITSTATUS(status));
    }
    return "status " + std::to_string(status);
}

}  // namespace

// The pipe is a socket pair, so that writes go through send() with MSG_NOSIGNAL (asio's sockets
// do that): a host that has gone fails the write instead of raising SIGPIPE.
struct ChildProcess::Parts {
    Parts(asio::io_context& loop, int fd, pid_t pid)
        : pipe(loop, asio::local::stream_protocol(), fd), pid(pid), exit(loop), poll(loop) {}
    asio::local::stream_protocol::socket pipe;
    pid_t pid;                            // 0 once collected
    asio::posix::stream_descriptor exit;  // a pidfd: readable once the child has ended
    asio::steady_timer poll;              // without pidfds: when to look again
};

std::unique_ptr<ChildProcess> ChildProcess::start(asio::io_context& loop,
                                                  const std::string& program,
                                                  unsigned long& errorCode) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        errorCode = static_cast<unsigned long>(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The child's end becomes descriptor 3 (dup2 clears close-on-exec); everything else of this
    // program is close-on-exec, and closed in the child besides where the C library can.
    posix_spawn_file_actions_adddup2(&actions, ends[1], kChildPipe);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    posix_spawn_file_actions_addclosefrom_np(&actions, kChildPipe + 1);
#endif
    const std::string parent = std::to_string(static_cast<long>(getpid()));
    const std::string pipeArgument = std::to_string(kChildPipe);
    char* const argv[] = {const_cast<char*>(program.c_str()),
                          const_cast<char*>(pipeArgument.c_str()),
                          const_cast<char*>(parent.c_str()), nullptr};
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    if (failed != 0) {
        close(ends[0]);
        errorCode = static_cast<unsigned long>(failed);
        return nullptr;
    }
    return std::unique_ptr<ChildProcess>(
        new ChildProcess(std::make_unique<Parts>(loop, ends[0], pid)));
}

std::string ChildProcess::besideProgram(const std::string& name) {
    return ownFolder() + name;
}

unsigned long ChildProcess::brokenPipeCode() {
    return EPIPE;
}

unsigned long ChildProcess::tooManyProcessesCode() {
    return EAGAIN;
}

ChildProcess::ChildProcess(std::unique_ptr<Parts> parts) : parts(std::move(parts)) {}

ChildProcess::~ChildProcess() {
    std::error_code ignored;
    parts->pipe.close(ignored);
    parts->exit.close(ignored);
    if (parts->pid != 0) {
        // Only when the loop goes before the child was seen to end: a killed child ends at once.
        kill(parts->pid, SIGKILL);
        int status = 0;
        while (waitpid(parts->pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void ChildProcess::readSome(char* buffer, std::size_t size, ReadHandler handler) {
    parts->pipe.async_read_some(asio::buffer(buffer, size), std::move(handler));
}

void ChildProcess::write(const Pieces& pieces, WriteHandler handler) {
    asio::async_write(parts->pipe, pieces,
                      [handler = std::move(handler)](const std::error_code& error, std::size_t) {
                          handler(error);
                      });
}

void ChildProcess::closePipe() {
    std::error_code ignored;
    parts->pipe.close(ignored);
}

void ChildProcess::terminate() {
    if (parts->pid != 0) {
        kill(parts->pid, SIGKILL);
    }
}

namespace {

// Collects `pid` if it has ended: true with `how` set, false while it runs.
bool collected(pid_t& pid, std::string& how) {
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done == 0) {
        return false;
    }
    how = done == pid ? describe(status) : "an unknown end";
    pid = 0;
    return true;
}

// Without pidfds (a kernel before 5.3): looks again every few milliseconds, never waiting.
void pollExit(asio::steady_timer& poll, pid_t& pid, ChildProcess::ExitHandler exited) {
    poll.expires_after(std::chrono::milliseconds(20));
    poll.async_wait(
        [&poll, &pid, exited = std::move(exited)](const std::error_code& error) mutable {
            std::string how;
            if (error) {
                return;  // the owner has gone
            }
            if (collected(pid, how)) {
                exited(how);
            } else {
                pollExit(poll, pid, std::move(exited));
            }
        });
}

}  // namespace

void ChildProcess::whenExited(ExitHandler exited) {
    if (parts->pid == 0) {
        return;
    }
#if defined(SYS_pidfd_open)
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, parts->pid, 0));
    if (pidfd >= 0) {
        fcntl(pidfd, F_SETFD, FD_CLOEXEC);
        parts->exit.assign(pidfd);
        Parts* const own = parts.get();
        parts->exit.async_wait(asio::posix::stream_descriptor::wait_read,
                               [own, exited = std::move(exited)](const std::error_code& error) {
                                   std::string how;
                                   if (error) {
                                       return;  // the owner has gone
                                   }
                                   std::error_code ignored;
                                   own->exit.close(ignored);
                                   if (!collected(own->pid, how)) {
                                       how = "an unknown end";
                                   }
                                   exited(how);
                               });
        return;
    }
#endif
    pollExit(parts->poll, parts->pid, std::move(exited));
}

std::unique_ptr<ParentPipe> ParentPipe::open(int argc, char** argv, std::string& problem) {
    if (argc != 3) {
        problem = "started without a pipe: this program is started by ravelink only";
        return nullptr;
    }
    const long fd = std::strtol(argv[1], nullptr, 10);
    const long parent = std::strtol(argv[2], nullptr, 10);
    if (fd < 0 || parent <= 0 || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        problem = "started without a usable pipe";
        return nullptr;
    }
#if defined(__linux__)
    // Ended with the parent, even in the middle of a call. The parent may have died before this
    // was set, so it is asked afterwards whether it is still the same parent.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    if (getppid() != static_cast<pid_t>(parent)) {
        problem = "the program that started this one has already ended";
        return nullptr;
    }
    fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    // A write to a pipe whose parent is gone fails instead of ending the process without a word.
    signal(SIGPIPE, SIG_IGN);
    return std::unique_ptr<ParentPipe>(new ParentPipe(fd));
}

ParentPipe::ParentPipe(std::intptr_t handle) : handle(handle) {}

ParentPipe::~ParentPipe() {
    close(static_cast<int>(handle));
}

std::size_t ParentPipe::read(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(handle), buffer, size);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return 0;
        }
    }
}

bool ParentPipe::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote =
            ::write(static_cast<int>(handle), bytes.data() + done, bytes.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

}  // namespace platform
