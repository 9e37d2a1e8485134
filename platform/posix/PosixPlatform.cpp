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
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ListenOptions.h"
#include "platform/ProcessResources.h"
#include "platform/StandardStreams.h"
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
    int release() {
        const int owned = fd;
        fd = -1;
        return owned;
    }

  private:
    int fd;
};

// A library loaded by path is loaded as "/proc/self/fd/N", and the loader knows it by that name: a
// later dlopen of the same name returns it without looking at the file. So the descriptor stays
// open while the library is loaded through it (no other file can get number N meanwhile), and a
// second load of the same file goes through the same name. Keyed by the loader's handle; the
// program loads and releases on one thread.
struct Image {
    int fd;  // owned
    dev_t device;
    ino_t inode;
    unsigned long loads;
};

std::map<void*, Image>& imagesByHandle() {
    static std::map<void*, Image> images;
    return images;
}

std::string loaderNameOf(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
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
    // A bare name goes through the loader's own search. A path is opened first, without
    // blocking (a FIFO or a terminal would otherwise hold the loader, and with it every page, for
    // as long as nobody writes), and loaded only when it names a regular file, through the opened
    // descriptor, so what is loaded is what was checked.
    const bool isPath = utf8Name.find('/') != std::string::npos;
    std::string loaderName = utf8Name;
    FileDescriptor file(
        isPath ? open(utf8Name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY) : -1);
    struct stat info {};
    if (isPath) {
        if (file.get() < 0) {
            // A terminal that is not this process's own cannot even be opened (ENXIO); it is as
            // much not a regular file as one that can.
            const int openError = errno != 0 ? errno : ENOENT;
            errorCode = stat(utf8Name.c_str(), &info) == 0 && !S_ISREG(info.st_mode)
                            ? EACCES
                            : static_cast<unsigned long>(openError);
            return nullptr;
        }
        if (fstat(file.get(), &info) != 0) {
            errorCode = static_cast<unsigned long>(errno != 0 ? errno : EACCES);
            return nullptr;
        }
        if (!S_ISREG(info.st_mode)) {
            errorCode = EACCES;
            return nullptr;
        }
        loaderName = loaderNameOf(file.get());
        for (const auto& entry : imagesByHandle()) {
            if (entry.second.device == info.st_dev && entry.second.inode == info.st_ino) {
                loaderName = loaderNameOf(entry.second.fd);
            }
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
    const auto entry = imagesByHandle().find(handle);
    if (entry != imagesByHandle().end()) {
        ++entry->second.loads;
    } else if (isPath) {
        imagesByHandle()[handle] = Image{file.release(), info.st_dev, info.st_ino, 1};
    }
    errorCode = 0;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::DynamicLibrary(void* handle) : handle(handle) {}

DynamicLibrary::~DynamicLibrary() {
    dlclose(handle);
    const auto entry = imagesByHandle().find(handle);
    if (entry != imagesByHandle().end() && --entry->second.loads == 0) {
        close(entry->second.fd);
        imagesByHandle().erase(entry);
    }
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
