// The platform layer on Linux and other POSIX systems: dlopen for plug-ins, malloc's heap for
// answers, an abstract Unix socket as the per-user single-instance lock.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ListenOptions.h"
#include "platform/ProcessResources.h"
#include "platform/StandardStreams.h"
#include "platform/StopSignals.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// dlopen reports failures as text only; errno after a failed call is a hint at best. Find the
// errno that explains the failure, never 0. `checkedFile` is true when the name was a path that was
// opened and found to be a regular file.
unsigned long explainLoadFailure(bool checkedFile, int errnoAfterLoad) {
    if (checkedFile) {
        // The file is there but could not be loaded: not a library for this processor, a missing
        // dependency, a failing initialiser.
        return errnoAfterLoad != 0 && errnoAfterLoad != ENOENT
                   ? static_cast<unsigned long>(errnoAfterLoad)
                   : ENOEXEC;
    }
    return static_cast<unsigned long>(errnoAfterLoad != 0 ? errnoAfterLoad : ENOENT);
}

// Owns one descriptor.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() {
        if (fd >= 0) {
            close(fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }

  private:
    int fd;
};

// The file an open descriptor refers to, every link and ".." resolved as the kernel did on opening.
bool resolvedPath(int fd, const std::string& name, std::string& path) {
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length > 0 && static_cast<size_t>(length) < sizeof buffer && buffer[0] == '/') {
        path.assign(buffer, static_cast<size_t>(length));
        return true;
    }
    char* real = realpath(name.c_str(), nullptr);  // no /proc: resolve the name itself
    if (real == nullptr) {
        return false;
    }
    path = real;
    std::free(real);
    return true;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     unsigned long& errorCode) {
    if (!Utf8::isValid(utf8Name)) {
        errorCode = EILSEQ;
        return nullptr;
    }
    if (utf8Name.empty()) {
        errorCode = ENOENT;
        return nullptr;
    }
    // A bare name goes through the loader's own search. A path is looked at first, through a
    // descriptor that opens nothing (O_PATH: a FIFO or a terminal would otherwise hold the loader,
    // and with it every page, for as long as nobody writes), and loaded only when it names a
    // regular file.
    //
    // The loader is then given that file's resolved location, not the descriptor's name
    // "/proc/self/fd/N": with that name the plug-in's $ORIGIN would be /proc/self/fd, so the
    // libraries it ships beside itself would not be found, and the loader remembers names, so a
    // reused descriptor number would bring back a library loaded earlier. Every link on the way is
    // already resolved; what could still change in between is the file's entry in its own folder,
    // and whoever can change that can as well put any library there.
    const bool isPath = utf8Name.find('/') != std::string::npos;
    std::string loaderName = utf8Name;
    if (isPath) {
        FileDescriptor file(open(utf8Name.c_str(), O_PATH | O_CLOEXEC));
        struct stat info {};
        if (file.get() < 0 || fstat(file.get(), &info) != 0) {
            errorCode = static_cast<unsigned long>(errno != 0 ? errno : ENOENT);
            return nullptr;
        }
        if (!S_ISREG(info.st_mode) || !resolvedPath(file.get(), utf8Name, loaderName)) {
            errorCode = EACCES;
            return nullptr;
        }
    }
    errno = 0;
    void* handle = dlopen(loaderName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const int errnoAfterLoad = errno;
        dlerror();  // clear the pending message so it does not leak into a later dlsym check
        errorCode = explainLoadFailure(isPath, errnoAfterLoad);
        return nullptr;
    }
    errorCode = 0;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::DynamicLibrary(void* handle) : handle(handle) {}

DynamicLibrary::~DynamicLibrary() {
    dlclose(handle);
}

InvokeFunc DynamicLibrary::findInvoke() const {
    void* symbol = dlsym(handle, "Invoke");
    InvokeFunc function = nullptr;
    static_assert(sizeof(function) == sizeof(symbol), "function and data pointers differ in size");
    std::memcpy(&function, &symbol, sizeof(function));
    return function;
}

void DynamicLibrary::freeAnswer(char* answer) {
    std::free(answer);
}

InstanceLock::InstanceLock() : handle(-1), heldElsewhere(false) {
    // An abstract socket name lives in the kernel, not on disk: nothing to clean up after a crash,
    // and the kernel drops it with the last descriptor, kill -9 included. The user id keeps one
    // claim per user, which is what the loopback port allows anyway.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    const std::string name = std::string(1, '\0') +
                             "ravelink-{DCB498CC-37CF-47c0-9EDD-2B0B054FBB83}-" +
                             std::to_string(static_cast<unsigned long>(getuid()));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        heldElsewhere = errno == EADDRINUSE;
        close(fd);
        return;
    }
    handle = fd;
}

InstanceLock::~InstanceLock() {
    if (handle >= 0) {
        close(static_cast<int>(handle));
    }
}

bool ListenOptions::reuseAddress() {
    return true;
}

// Ctrl-C in a terminal, and the stop request of a service manager or `kill`.
std::vector<int> StopSignals::numbers() {
    return {SIGINT, SIGTERM};
}

void ProcessResources::raiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);  // best effort: the old limit still works
    }
}

void ProcessResources::releaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

bool StandardStreams::isDiscarded(Stream stream) {
    struct stat target;
    if (fstat(stream == kOutput ? STDOUT_FILENO : STDERR_FILENO, &target) != 0) {
        return true;
    }
    struct stat null;
    return S_ISCHR(target.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
           target.st_rdev == null.st_rdev;
}

}  // namespace platform
