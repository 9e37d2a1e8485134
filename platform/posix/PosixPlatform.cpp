// The platform layer on Linux and other POSIX systems: dlopen for plug-ins, malloc's heap for
// answers, an abstract Unix socket as the per-user single-instance lock.

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ListenOptions.h"
#include "platform/StandardStreams.h"
#include "platform/StopSignals.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// dlopen reports failures as text only; errno after a failed call is a hint at best. Find the
// errno that explains the failure, never 0.
unsigned long explainLoadFailure(const std::string& name, int errnoAfterLoad) {
    if (name.find('/') != std::string::npos) {
        struct stat info;
        if (stat(name.c_str(), &info) != 0) {
            return static_cast<unsigned long>(errno != 0 ? errno : ENOENT);
        }
        if (S_ISDIR(info.st_mode)) {
            return EISDIR;
        }
        // The file is there but could not be loaded: not a library for this processor, a missing
        // dependency, a failing initialiser.
        return errnoAfterLoad != 0 && errnoAfterLoad != ENOENT
                   ? static_cast<unsigned long>(errnoAfterLoad)
                   : ENOEXEC;
    }
    return static_cast<unsigned long>(errnoAfterLoad != 0 ? errnoAfterLoad : ENOENT);
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
    errno = 0;
    void* handle = dlopen(utf8Name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const int errnoAfterLoad = errno;
        dlerror();  // clear the pending message so it does not leak into a later dlsym check
        errorCode = explainLoadFailure(utf8Name, errnoAfterLoad);
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
