// The platform layer on Linux and other POSIX systems: dlopen for plug-ins, malloc's heap for
// answers, an abstract Unix socket as the per-user single-instance lock (its holder's account
// checked), the policy file under /etc/ravelink.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ListenOptions.h"
#include "platform/LogFile.h"
#include "platform/ModuleLocation.h"
#include "platform/PolicySource.h"
#include "platform/ProcessResources.h"
#include "platform/SocketPeek.h"
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

// The path an open descriptor refers to, every link and ".." resolved as the kernel did on opening.
bool openedPath(int fd, std::string& path) {
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer || buffer[0] != '/') {
        return false;
    }
    path.assign(buffer, static_cast<size_t>(length));
    return true;
}

bool realPath(const std::string& path, std::string& real) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return false;
    }
    real = resolved;
    std::free(resolved);
    return true;
}

std::string programFolder() {
    std::string program;
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
        program.assign(buffer, static_cast<size_t>(length));
    }
    const std::string::size_type slash = program.rfind('/');
    return slash == std::string::npos ? std::string("/") : program.substr(0, slash + 1);
}

std::string withTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path;
}

// "/a/./b//../c" -> "/a/c", without looking at the disk. Only for folders that do not exist.
std::string lexicallyNormal(const std::string& absolute) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= absolute.size()) {
        std::string::size_type end = absolute.find('/', start);
        if (end == std::string::npos) {
            end = absolute.size();
        }
        const std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const std::string& part : parts) {
        normal += "/" + part;
    }
    return normal.empty() ? "/" : normal;
}

}  // namespace

namespace {

// Loads the file at `path` (a name with a '/') once it has been looked at: through a descriptor
// that opens nothing (O_PATH: a FIFO or a terminal would otherwise hold the loader, and with it
// every page, for as long as nobody writes), it must be a regular file, and under a policy one
// whose resolved location `admits` (null: no policy).
//
// The loader is then given that resolved location, not the descriptor's name "/proc/self/fd/N":
// with that name the plug-in's $ORIGIN would be /proc/self/fd, so the libraries it ships beside
// itself would not be found, and the loader remembers names, so a reused descriptor number would
// bring back a library loaded earlier. Every link and ".." on the way is already resolved; what
// could still change in between is the file's entry in its own folder, and whoever can change that
// can as well put any library there.
// With `loadIt` false the file is only looked at: the result is then a non-null dummy when it would
// have been loaded.
void* loadCheckedPath(const std::string& path, const DynamicLibrary::Admission* admits,
                      unsigned long& errorCode, std::string& location, bool loadIt = true) {
    FileDescriptor file(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (file.get() < 0) {
        const int openError = errno != 0 ? errno : ENOENT;
        if (admits == nullptr) {
            errorCode = static_cast<unsigned long>(openError);
            return nullptr;
        }
        // Under a policy, not found is only told where loading would be allowed; elsewhere it is
        // access denied, so that refusals do not tell which files exist.
        const std::string::size_type slash = path.rfind('/');
        const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
        std::string realFolder;
        if (realPath(folder, realFolder)) {
            location = withTrailingSlash(realFolder) + path.substr(slash + 1);
            if ((*admits)(location)) {
                errorCode = static_cast<unsigned long>(openError);
                return nullptr;
            }
        }
        errorCode = EACCES;
        return nullptr;
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0 ||
        !(openedPath(file.get(), location) || realPath(path, location)) ||
        (admits != nullptr && !(*admits)(location)) || !S_ISREG(info.st_mode)) {
        errorCode = EACCES;
        return nullptr;
    }
    if (!loadIt) {
        return &errorCode;
    }
    errno = 0;
    void* handle = dlopen(location.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const int errnoAfterLoad = errno;
        dlerror();  // clear the pending message so it does not leak into a later dlsym check
        errorCode = explainLoadFailure(true, errnoAfterLoad);
    }
    return handle;
}

// What a bare name means under a policy. dlopen would look it up in the system's library path,
// which is no place for modules; here it means a file of the program's own installation: the one
// beside the program, or else the one in the installation's library folder next to the program's
// (/usr/bin/ravelink -> /usr/lib/, where the package and `make install` put the information
// plug-in).
std::string installedModulePath(const std::string& bareName) {
    const std::string beside = programFolder() + bareName;
    const std::string inLibrary = programFolder() + "../lib/" + bareName;
    struct stat info {};
    if (lstat(beside.c_str(), &info) != 0 && lstat(inLibrary.c_str(), &info) == 0) {
        return inLibrary;
    }
    return beside;
}

bool usableName(const std::string& utf8Name, unsigned long& errorCode) {
    if (!Utf8::isValid(utf8Name)) {
        errorCode = EILSEQ;
        return false;
    }
    if (utf8Name.empty()) {
        errorCode = ENOENT;
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     unsigned long& errorCode) {
    if (!usableName(utf8Name, errorCode)) {
        return nullptr;
    }
    void* handle = nullptr;
    if (utf8Name.find('/') != std::string::npos) {
        std::string location;
        handle = loadCheckedPath(utf8Name, nullptr, errorCode, location);
    } else {
        // A bare name goes through the loader's own search.
        errno = 0;
        handle = dlopen(utf8Name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const int errnoAfterLoad = errno;
            dlerror();
            errorCode = explainLoadFailure(false, errnoAfterLoad);
        }
    }
    if (handle == nullptr) {
        return nullptr;
    }
    errorCode = 0;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

namespace {

void* admitAndLoad(const std::string& utf8Name, const DynamicLibrary::Admission& admits,
                   unsigned long& errorCode, std::string& location, bool loadIt) {
    if (!usableName(utf8Name, errorCode)) {
        return nullptr;
    }
    const std::string path =
        utf8Name.find('/') == std::string::npos ? installedModulePath(utf8Name) : utf8Name;
    void* handle = loadCheckedPath(path, &admits, errorCode, location, loadIt);
    if (handle != nullptr) {
        errorCode = 0;
    }
    return handle;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     const Admission& admits,
                                                     unsigned long& errorCode,
                                                     std::string& location) {
    void* handle = admitAndLoad(utf8Name, admits, errorCode, location, true);
    if (handle == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

bool DynamicLibrary::locate(const std::string& utf8Name, const Admission& admits,
                            unsigned long& errorCode, std::string& location,
                            std::shared_ptr<void>& hold) {
    hold.reset();
    return admitAndLoad(utf8Name, admits, errorCode, location, false) != nullptr;
}

int DynamicLibrary::imageWidth(const std::string&) {
    return 0;
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

namespace {

// Whether the socket that holds the abstract name at `address` belongs to this account. Abstract
// names have no permissions, so any account can bind this user's name first; the credentials the
// kernel recorded when that socket began to listen tell a copy of ours from a squatter, which must
// not be able to keep this user's program from starting. A copy caught between bind and listen is
// taken for a squatter too; the port then keeps the second copy out (exit 2).
bool heldByThisAccount(const sockaddr_un& address, socklen_t length) {
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return false;
    }
    ucred holder{};
    socklen_t size = sizeof holder;
    const bool mine = connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                      getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &holder, &size) == 0 &&
                      holder.uid == getuid();
    close(probe);
    return mine;
}

}  // namespace

InstanceLock::InstanceLock() : handle(-1), heldElsewhere(false) {
    // An abstract socket name lives in the kernel, not on disk: nothing to clean up after a crash,
    // and the kernel drops it with the last descriptor, kill -9 included. The user id keeps one
    // claim per user, which is what the loopback port allows anyway. The socket listens only so
    // that a second copy can ask the kernel whose it is; nobody accepts, and the few connections
    // that queue are dropped with it.
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
        // Taken by another account: this copy runs unguarded (the port still admits one).
        heldElsewhere = errno == EADDRINUSE && heldByThisAccount(address, length);
        close(fd);
        return;
    }
    if (listen(fd, 8) != 0) {
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

// Without SO_REUSEPORT, which this program never sets, no other socket can bind the same address
// while this one listens.
int ListenOptions::prepare(std::uintptr_t) {
    return 0;
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

// Every write of this program (to pages' sockets, to hosts' pipes, to its log) checks its result;
// a peer that has gone must never take the whole program with it.
void ProcessResources::ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

void ProcessResources::releaseFreeMemory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

StandardStreams::Reader StandardStreams::reader(Stream stream) {
    const int fd = stream == kOutput ? STDOUT_FILENO : STDERR_FILENO;
    struct stat target;
    if (fstat(fd, &target) != 0) {
        return kNobody;
    }
    struct stat null;
    if (S_ISCHR(target.st_mode) && stat("/dev/null", &null) == 0 && S_ISCHR(null.st_mode) &&
        target.st_rdev == null.st_rdev) {
        return kNobody;
    }
    // systemd connects a unit's streams to journald's stream socket; the peer of such a connection
    // is the path that socket is bound to.
    if (S_ISSOCK(target.st_mode)) {
        sockaddr_un peer{};
        socklen_t length = sizeof peer;
        static const char kJournal[] = "/run/systemd/journal/stdout";
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.sun_family == AF_UNIX && length > offsetof(sockaddr_un, sun_path) &&
            std::strncmp(peer.sun_path, kJournal, sizeof peer.sun_path) == 0) {
            return kServiceLog;
        }
    }
    return kPerson;
}

std::unique_ptr<LogFile> LogFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    const std::uint64_t size = fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    return std::unique_ptr<LogFile>(new LogFile(fd, size));
}

LogFile::~LogFile() {
    close(static_cast<int>(handle));
}

bool LogFile::append(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(static_cast<int>(handle), data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool LogFile::replace(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0;
}

bool LogFile::empty(const std::string& path) {
    return truncate(path.c_str(), 0) == 0;
}

std::string LogFile::folder() {
    return "";
}

std::string ModuleLocation::informationPluginKey() {
    std::string key;
    return realPath(installedModulePath("libravelink_info.so"), key) ? key : std::string();
}

bool ModuleLocation::folderKey(const std::string& utf8Folder, std::string& key,
                               std::string& problem) {
    if (utf8Folder.empty() || utf8Folder[0] != '/') {
        problem = "\"" + utf8Folder + "\" is not an absolute path";
        return false;
    }
    std::string real;
    key = withTrailingSlash(realPath(utf8Folder, real) ? real : lexicallyNormal(utf8Folder));
    return true;
}

namespace {

const char kPolicyFolder[] = "/etc/ravelink";
const char kPolicyFile[] = "/etc/ravelink/policy.json";
// A policy is a few lines; anything far larger is not one.
const off_t kLargestPolicy = 1024 * 1024;

// Empty when only root can change what `info` describes; otherwise why not.
std::string writableByOthers(const struct stat& info, const char* what) {
    if (info.st_uid != 0) {
        return std::string(what) + " is owned by user id " +
               std::to_string(static_cast<unsigned long>(info.st_uid)) + ", not root";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return std::string(what) + " is writable by " +
               ((info.st_mode & S_IWOTH) != 0 ? "every user" : "its group") + " (mode " + mode +
               ")";
    }
    return std::string();
}

}  // namespace

const char* PolicySource::location() {
    return kPolicyFile;
}

PolicySource::Status PolicySource::read(std::string& json, std::string& reason) {
    struct stat folder;
    if (stat(kPolicyFolder, &folder) != 0) {
        if (errno == ENOENT) {
            return kAbsent;
        }
        reason = std::string(kPolicyFolder) + ": " + std::strerror(errno);
        return kFailed;
    }
    FileDescriptor file(open(kPolicyFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) {
        if (errno == ENOENT) {
            return kAbsent;
        }
        reason = std::string(kPolicyFile) + ": " + std::strerror(errno);
        return kFailed;
    }
    struct stat info;
    if (fstat(file.get(), &info) != 0) {
        reason = std::string(kPolicyFile) + ": " + std::strerror(errno);
        return kFailed;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = std::string(kPolicyFile) + " is not a regular file";
        return kFailed;
    }
    // The folder that holds the file as opened (a link may lead elsewhere) decides who could
    // replace it.
    std::string opened;
    std::string holder = kPolicyFolder;
    if (openedPath(file.get(), opened)) {
        holder = opened.substr(0, std::max<std::string::size_type>(opened.rfind('/'), 1));
    }
    struct stat holderInfo;
    if (stat(holder.c_str(), &holderInfo) != 0) {
        reason = holder + ": " + std::strerror(errno);
        return kFailed;
    }
    std::string problem = writableByOthers(info, kPolicyFile);
    if (problem.empty()) {
        problem = writableByOthers(holderInfo, ("its folder " + holder).c_str());
    }
    if (!problem.empty()) {
        reason = problem;
        return kUntrusted;
    }
    if (info.st_size > kLargestPolicy) {
        reason = std::string(kPolicyFile) + " is larger than 1 MiB";
        return kFailed;
    }
    json.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = std::string(kPolicyFile) + ": " + std::strerror(errno);
            return kFailed;
        }
        if (got == 0) {
            break;
        }
        json.append(buffer, static_cast<size_t>(got));
        if (json.size() > static_cast<size_t>(kLargestPolicy)) {
            reason = std::string(kPolicyFile) + " is larger than 1 MiB";
            return kFailed;
        }
    }
    return kFound;
}

SocketPeek::Seen SocketPeek::look(Handle socket) {
    const int descriptor = static_cast<int>(socket);
    pollfd entry{};
    entry.fd = descriptor;
    entry.events = POLLIN;
#if defined(POLLRDHUP)
    // The peer's FIN, even behind data not yet read.
    entry.events |= POLLRDHUP;
#endif
    if (::poll(&entry, 1, 0) <= 0) {
        return Seen::nothing;
    }
#if defined(POLLRDHUP)
    if ((entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        return Seen::closed;
    }
#else
    if ((entry.revents & (POLLHUP | POLLERR)) != 0) {
        return Seen::closed;
    }
#endif
    if ((entry.revents & POLLIN) == 0) {
        return Seen::nothing;
    }
    char byte;
    const ssize_t got = ::recv(descriptor, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) {
        return Seen::data;
    }
    if (got == 0) {
        return Seen::closed;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Seen::nothing : Seen::closed;
}

}  // namespace platform
