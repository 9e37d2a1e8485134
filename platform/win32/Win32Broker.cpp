// The broker channel on Windows: a message-mode named pipe, BrokerChannel::kWindowsPipe, local
// clients only, never inherited, read and written overlapped through the event loop
// (asio::windows::stream_handle). Each end learns who is at the other from the system: the
// other end's process id as the pipe reports it, and that process's token.
//
// One message is one pipe message: the text, a NUL, then either nothing or the WSAPROTOCOL_INFOW
// of a socket that WSADuplicateSocketW made for the receiving process. Texts hold no NUL, so the
// two parts are told apart without a length; a blob of any other size ends the channel.
//
// The pipe's DACL lets the local system, administrators and the broker's own account do
// everything, and interactive users read and write but not make instances of the name: nobody
// else can serve on it while the broker runs (and the first instance must be the broker's).

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <mswsock.h>
#include <sddl.h>
// clang-format on

#include <asio/post.hpp>
#include <asio/windows/overlapped_ptr.hpp>
#include <asio/windows/stream_handle.hpp>

#include <cstring>
#include <deque>
#include <vector>

#include "platform/BrokerChannel.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/Win32Token.h"

namespace platform {

namespace {

constexpr std::size_t kBlob = sizeof(WSAPROTOCOL_INFOW);
// Room for the longest valid message and one byte more, so a longer one is seen as such.
constexpr std::size_t kFrameRoom = BrokerChannel::kMaxMessage + 1 + kBlob + 1;
constexpr DWORD kPipeBuffer = 16 * 1024;
// The service the packages install the broker as.
constexpr const wchar_t* kServiceName = L"ravelink-broker";
// Interactive users: read and write data and attributes (a client sets message read mode), never
// FILE_CREATE_PIPE_INSTANCE (FILE_APPEND_DATA, part of GENERIC_WRITE).
constexpr const wchar_t* kClientRights = L"0x0012018B";

std::wstring pipeName() {
    std::wstring name;
    Win32Text::toWide(BrokerChannel::kWindowsPipe, name);
    return name;
}

std::error_code windowsError(DWORD code) {
    return std::error_code(static_cast<int>(code), std::system_category());
}

std::string windowsText(DWORD code) {
    return windowsError(code).message() + " (error " + std::to_string(code) + ")";
}

// Whether `error` is the Windows error `code`, as the system or the event loop reports it.
bool isWindowsError(const std::error_code& error, DWORD code) {
    return (error.category() == std::system_category() ||
            error.category() == asio::error::get_system_category()) &&
           error.value() == static_cast<int>(code);
}

// The other end's close, however the pipe reports it, is the end of the stream.
std::error_code pipeError(const std::error_code& error) {
    if (isWindowsError(error, ERROR_BROKEN_PIPE) ||
        isWindowsError(error, ERROR_PIPE_NOT_CONNECTED) || isWindowsError(error, ERROR_NO_DATA)) {
        return asio::error::make_error_code(asio::error::eof);
    }
    return error;
}

struct OwnIdentity {
    bool read = false;
    std::string user;
    unsigned long session = 0;
};

const OwnIdentity& ownIdentity() {
    static const OwnIdentity own = [] {
        OwnIdentity identity;
        unsigned long error = 0;
        identity.read =
            Win32Token::read(GetCurrentProcess(), identity.user, identity.session, error);
        return identity;
    }();
    return own;
}

// What the system says about process `id`, the other end of a pipe.
BrokerChannel::Peer peerOf(bool gotId, ULONG id, DWORD idError) {
    BrokerChannel::Peer peer;
    peer.ownUser = ownIdentity().user;
    peer.ownSession = ownIdentity().session;
    if (!gotId) {
        peer.failure =
            "the pipe did not say which process is at its other end: " + windowsText(idError);
        return peer;
    }
    peer.processId = id;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (process == nullptr) {
        peer.failure =
            "cannot open process " + std::to_string(id) + ": " + windowsText(GetLastError());
        return peer;
    }
    unsigned long error = 0;
    peer.known = Win32Token::read(process, peer.user, peer.session, error);
    if (!peer.known) {
        peer.failure =
            "cannot read the token of process " + std::to_string(id) + ": " + windowsText(error);
    }
    CloseHandle(process);
    return peer;
}

// The account of process `id` as the service control manager knows it, when that process is the
// running broker service: a copy runs as an ordinary user, who may not read the token of a process
// of the local system, while installing a service takes an administrator. False when `id` is not
// the service's process (or the manager cannot tell).
bool serviceAccount(ULONG id, std::string& user) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    bool found = false;
    SC_HANDLE service =
        OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status{};
        DWORD size = 0;
        std::vector<unsigned char> config(8192);
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof status, &size) &&
            status.dwCurrentState != SERVICE_STOPPED && status.dwProcessId == id &&
            QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                                static_cast<DWORD>(config.size()), &size)) {
            const wchar_t* account =
                reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data())->lpServiceStartName;
            if (account == nullptr || _wcsicmp(account, L"LocalSystem") == 0) {
                user = "S-1-5-18";
                found = true;
            } else {
                unsigned char sid[SECURITY_MAX_SID_SIZE];
                DWORD sidSize = sizeof sid;
                wchar_t domain[256];
                DWORD domainSize = 256;
                SID_NAME_USE use;
                char* text = nullptr;
                if (LookupAccountNameW(nullptr, account, sid, &sidSize, domain, &domainSize,
                                       &use) &&
                    ConvertSidToStringSidA(sid, &text)) {
                    user = text;
                    LocalFree(text);
                    found = true;
                }
            }
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return found;
}

// One end of a connected pipe. `life` tells handlers waiting on the loop whether the object still
// exists: destroying it closes the pipe, whose cancelled operations then find it gone.
class Win32Channel final : public BrokerChannel {
  public:
    Win32Channel(asio::io_context& loop, asio::windows::stream_handle pipe, Peer who)
        : loop(loop), pipe(std::move(pipe)), who(std::move(who)), buffer(kFrameRoom) {}

    const Peer& peer() const override { return who; }

    void send(const std::string& text, SocketHandle socket, SendHandler sent) override {
        Outgoing out;
        out.sent = std::move(sent);
        std::error_code error = ended;
        if (!error &&
            (text.empty() || text.size() > kMaxMessage || text.find('\0') != std::string::npos)) {
            error = std::make_error_code(std::errc::invalid_argument);
        }
        out.frame = text;
        out.frame.push_back('\0');
        if (!error && socket != kNoSocket) {
            // The duplicate belongs to the peer's process from here on (one that never goes out,
            // when the channel breaks first, stays there until that process ends); the caller's
            // socket stays the caller's.
            WSAPROTOCOL_INFOW info;
            if (who.processId <= 0 ||
                WSADuplicateSocketW(static_cast<SOCKET>(socket), static_cast<DWORD>(who.processId),
                                    &info) != 0) {
                error = windowsError(who.processId <= 0 ? ERROR_INVALID_PARAMETER
                                                        : static_cast<DWORD>(WSAGetLastError()));
            } else {
                out.frame.append(reinterpret_cast<const char*>(&info), kBlob);
            }
        }
        if (error) {
            later(std::move(out.sent), error);
            return;
        }
        queue.push_back(std::move(out));
        if (queue.size() == 1) {
            writeNext();
        }
    }

    void receive(ReceiveHandler received) override {
        pending = std::move(received);
        if (ended) {
            std::weak_ptr<char> alive = life;
            asio::post(loop, [this, alive] {
                if (!alive.expired() && pending) {
                    deliver(ended, std::string(), kNoSocket);
                }
            });
            return;
        }
        if (reading) {
            return;
        }
        reading = true;
        std::weak_ptr<char> alive = life;
        pipe.async_read_some(asio::buffer(buffer),
                             [this, alive](const std::error_code& error, std::size_t size) {
                                 if (alive.expired()) {
                                     return;
                                 }
                                 reading = false;
                                 onRead(error, size);
                             });
    }

  private:
    struct Outgoing {
        std::string frame;
        SendHandler sent;
    };

    void later(SendHandler handler, const std::error_code& error) {
        if (!handler) {
            return;
        }
        std::weak_ptr<char> alive = life;
        asio::post(loop, [alive, handler = std::move(handler), error] {
            if (!alive.expired()) {
                handler(error);
            }
        });
    }

    // Ends the channel: the other end sees it closed, and every later call reports `error`.
    void end(const std::error_code& error) {
        if (!ended) {
            ended = error;
        }
        std::error_code ignored;
        pipe.close(ignored);
    }

    void writeNext() {
        Outgoing& out = queue.front();
        std::weak_ptr<char> alive = life;
        pipe.async_write_some(asio::buffer(out.frame),
                              [this, alive](const std::error_code& error, std::size_t size) {
                                  if (alive.expired()) {
                                      return;
                                  }
                                  Outgoing done = std::move(queue.front());
                                  queue.pop_front();
                                  std::error_code result = pipeError(error);
                                  if (!result && size != done.frame.size()) {
                                      result = std::make_error_code(std::errc::message_size);
                                  }
                                  if (result) {
                                      end(ended ? ended : result);
                                      later(std::move(done.sent), ended);
                                      while (!queue.empty()) {
                                          later(std::move(queue.front().sent), ended);
                                          queue.pop_front();
                                      }
                                      return;
                                  }
                                  later(std::move(done.sent), result);
                                  if (!queue.empty()) {
                                      writeNext();
                                  }
                              });
    }

    void deliver(const std::error_code& error, const std::string& text, SocketHandle socket) {
        ReceiveHandler handler = std::move(pending);
        pending = nullptr;
        if (handler) {
            handler(error, text, socket);  // may destroy this object
        } else if (socket != kNoSocket) {
            closeSocket(socket);
        }
    }

    void fail(const std::error_code& error) {
        end(error);
        deliver(ended, std::string(), kNoSocket);
    }

    void onRead(const std::error_code& readError, std::size_t size) {
        if (isWindowsError(readError, ERROR_MORE_DATA)) {
            fail(std::make_error_code(std::errc::message_size));
            return;
        }
        if (readError || size == 0) {
            fail(readError ? pipeError(readError) : asio::error::make_error_code(asio::error::eof));
            return;
        }
        const char* data = buffer.data();
        const char* nul = static_cast<const char*>(std::memchr(data, '\0', size));
        if (nul == nullptr && size > kMaxMessage) {
            fail(std::make_error_code(std::errc::message_size));
            return;
        }
        const std::size_t textSize = nul == nullptr ? 0 : static_cast<std::size_t>(nul - data);
        const std::size_t blobSize = nul == nullptr ? 0 : size - textSize - 1;
        if (textSize > kMaxMessage) {
            fail(std::make_error_code(std::errc::message_size));
            return;
        }
        if (nul == nullptr || textSize == 0 || (blobSize != 0 && blobSize != kBlob)) {
            fail(std::make_error_code(std::errc::bad_message));
            return;
        }
        SocketHandle socket = kNoSocket;
        if (blobSize == kBlob) {
            WSAPROTOCOL_INFOW info;
            std::memcpy(&info, nul + 1, kBlob);
            const SOCKET made =
                WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                           WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
            if (made == INVALID_SOCKET) {
                fail(windowsError(static_cast<DWORD>(WSAGetLastError())));
                return;
            }
            socket = static_cast<SocketHandle>(made);
        }
        deliver(std::error_code(), std::string(data, textSize), socket);
    }

    asio::io_context& loop;
    asio::windows::stream_handle pipe;  // owns the pipe handle
    const Peer who;
    std::vector<char> buffer;
    std::deque<Outgoing> queue;  // the front is being written
    bool reading = false;
    ReceiveHandler pending;
    std::error_code ended;
    std::shared_ptr<char> life = std::make_shared<char>();
};

// The broker's pipe: the system, administrators and this account may do anything; interactive
// users read and write. Freed with LocalFree; null with the reason when it cannot be made.
PSECURITY_DESCRIPTOR pipeSecurity(std::string& detail) {
    if (!ownIdentity().read) {
        detail = "cannot read this process's own account";
        return nullptr;
    }
    std::wstring own;
    Win32Text::toWide(ownIdentity().user, own);
    const std::wstring text =
        L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + own + L")(A;;" + kClientRights + L";;;IU)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        detail = "cannot make the pipe's security descriptor: " + windowsText(GetLastError());
        return nullptr;
    }
    return descriptor;
}

// One instance of the broker's pipe, INVALID_HANDLE_VALUE with GetLastError() on failure. The
// first must be the first of the name: if another process made one, it is not the broker.
HANDLE makeInstance(PSECURITY_DESCRIPTOR security, bool first) {
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), security, FALSE};
    return CreateNamedPipeW(
        pipeName().c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, 0, &attributes);
}

class Win32Listener final : public BrokerChannel::Listener {
  public:
    Win32Listener(asio::io_context& loop, HANDLE first, PSECURITY_DESCRIPTOR security)
        : loop(loop), security(security), instance(loop, first) {}

    ~Win32Listener() override {
        std::error_code ignored;
        instance.close(ignored);
        LocalFree(security);
    }

    void accept(AcceptHandler accepted) override {
        handler = std::move(accepted);
        waitForClient();
    }

  private:
    void waitForClient() {
        std::weak_ptr<char> alive = life;
        asio::windows::overlapped_ptr waiting(
            loop, [this, alive](const std::error_code& error, std::size_t) {
                if (!alive.expired()) {
                    onClient(error);
                }
            });
        const BOOL done = ConnectNamedPipe(instance.native_handle(), waiting.get());
        const DWORD error = GetLastError();
        if (!done && error == ERROR_NO_DATA) {
            // A copy came and went before it was seen: the instance waits for the next.
            DisconnectNamedPipe(instance.native_handle());
            waiting.complete(asio::error::make_error_code(asio::error::try_again), 0);
        } else if (done || error == ERROR_IO_PENDING) {
            waiting.release();
        } else if (error == ERROR_PIPE_CONNECTED) {
            waiting.complete(std::error_code(), 0);
        } else {
            waiting.complete(windowsError(error), 0);
        }
    }

    void onClient(const std::error_code& error) {
        if (error == asio::error::try_again) {
            waitForClient();
            return;
        }
        if (error) {
            handler(error, nullptr);
            return;
        }
        // The next instance first, so copies never find the name without one.
        HANDLE next = makeInstance(security, false);
        if (next == INVALID_HANDLE_VALUE) {
            handler(windowsError(GetLastError()), nullptr);
            return;
        }
        asio::windows::stream_handle connected = std::move(instance);
        instance = asio::windows::stream_handle(loop, next);
        ULONG id = 0;
        const bool gotId = GetNamedPipeClientProcessId(connected.native_handle(), &id);
        BrokerChannel::Peer who = peerOf(gotId, id, GetLastError());
        std::weak_ptr<char> alive = life;
        handler(std::error_code(),
                std::make_unique<Win32Channel>(loop, std::move(connected), std::move(who)));
        if (!alive.expired()) {
            waitForClient();
        }
    }

  private:
    asio::io_context& loop;
    PSECURITY_DESCRIPTOR security;          // owned: every instance is made with it
    asio::windows::stream_handle instance;  // the instance waiting for the next copy
    AcceptHandler handler;
    std::shared_ptr<char> life = std::make_shared<char>();
};

}  // namespace

std::unique_ptr<BrokerChannel::Listener> BrokerChannel::Listener::open(asio::io_context& loop,
                                                                       std::error_code& error,
                                                                       std::string& detail) {
    PSECURITY_DESCRIPTOR security = pipeSecurity(detail);
    if (security == nullptr) {
        error = windowsError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HANDLE first = makeInstance(security, true);
    if (first == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = windowsError(code);
        detail = std::string("cannot make the pipe ") + kWindowsPipe + ": " + windowsText(code) +
                 (code == ERROR_ACCESS_DENIED || code == ERROR_PIPE_BUSY
                      ? ": another process serves it already (is a broker running?)"
                      : "");
        LocalFree(security);
        return nullptr;
    }
    error.clear();
    return std::make_unique<Win32Listener>(loop, first, security);
}

std::unique_ptr<BrokerChannel> BrokerChannel::connect(asio::io_context& loop,
                                                      std::error_code& error) {
    // Not GENERIC_WRITE: it holds FILE_CREATE_PIPE_INSTANCE, which the pipe grants copies not.
    // Identification only: the broker may read this copy's token, never act as it.
    const DWORD access = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
    const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 3; ++attempt) {
        pipe = CreateFileW(pipeName().c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) {
            break;
        }
        // Every instance is taken for a moment: the broker makes the next one at once.
        WaitNamedPipeW(pipeName().c_str(), 1000);
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        error = windowsError(GetLastError());
        return nullptr;
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        error = windowsError(GetLastError());
        CloseHandle(pipe);
        return nullptr;
    }
    ULONG id = 0;
    const bool gotId = GetNamedPipeServerProcessId(pipe, &id);
    Peer who = peerOf(gotId, id, GetLastError());
    std::string user;
    if (!who.known && gotId && serviceAccount(id, user)) {
        who.known = true;
        who.failure.clear();
        who.user = user;
        who.session = 0;  // services run in session 0
    }
    error.clear();
    return std::make_unique<Win32Channel>(loop, asio::windows::stream_handle(loop, pipe),
                                          std::move(who));
}

void BrokerChannel::acceptUnbound(asio::ip::tcp::acceptor& acceptor, UnboundHandler accepted) {
    // AcceptEx completes through the listening socket's port; the socket it accepts into is made
    // here and never tied to one. Never inherited by a program the broker might start.
    constexpr DWORD kAddressRoom = sizeof(sockaddr_storage) + 16;
    struct Pending {
        SOCKET socket = INVALID_SOCKET;
        SOCKET listening = INVALID_SOCKET;
        char addresses[2 * kAddressRoom];
    };
    auto pending = std::make_shared<Pending>();
    pending->listening = acceptor.native_handle();
    pending->socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (pending->socket == INVALID_SOCKET) {
        const std::error_code error = windowsError(static_cast<DWORD>(WSAGetLastError()));
        asio::post(acceptor.get_executor(),
                   [error, accepted = std::move(accepted)] { accepted(error, kNoSocket, {}, {}); });
        return;
    }
    asio::windows::overlapped_ptr waiting(
        acceptor.get_executor(),
        [pending, accepted = std::move(accepted)](const std::error_code& error, std::size_t) {
            if (error) {
                closesocket(pending->socket);
                accepted(isWindowsError(error, ERROR_OPERATION_ABORTED)
                             ? asio::error::make_error_code(asio::error::operation_aborted)
                             : error,
                         kNoSocket, {}, {});
                return;
            }
            // Gives the socket its addresses, so that it works as one accept() made.
            setsockopt(pending->socket, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                       reinterpret_cast<const char*>(&pending->listening),
                       sizeof pending->listening);
            sockaddr* localAddress = nullptr;
            sockaddr* remoteAddress = nullptr;
            int localSize = 0;
            int remoteSize = 0;
            GetAcceptExSockaddrs(pending->addresses, 0, kAddressRoom, kAddressRoom, &localAddress,
                                 &localSize, &remoteAddress, &remoteSize);
            asio::ip::tcp::endpoint local, remote;
            if (localAddress != nullptr && remoteAddress != nullptr &&
                static_cast<std::size_t>(localSize) <= local.capacity() &&
                static_cast<std::size_t>(remoteSize) <= remote.capacity()) {
                std::memcpy(local.data(), localAddress, static_cast<std::size_t>(localSize));
                local.resize(static_cast<std::size_t>(localSize));
                std::memcpy(remote.data(), remoteAddress, static_cast<std::size_t>(remoteSize));
                remote.resize(static_cast<std::size_t>(remoteSize));
            }
            accepted(std::error_code(), static_cast<SocketHandle>(pending->socket), local, remote);
        });
    DWORD received = 0;
    const BOOL done = AcceptEx(pending->listening, pending->socket, pending->addresses, 0,
                               kAddressRoom, kAddressRoom, &received, waiting.get());
    const DWORD error = static_cast<DWORD>(WSAGetLastError());
    if (done || error == ERROR_IO_PENDING) {
        waiting.release();
    } else {
        waiting.complete(windowsError(error), 0);
    }
}

const char* BrokerChannel::systemUser() {
    return "S-1-5-18";  // the local system, which services such as the broker's run as
}

bool BrokerChannel::holdsSocketsInFlight() {
    return false;  // the description names the broker's socket: it must live until the copy's does
}

void BrokerChannel::closeSocket(SocketHandle socket) {
    if (socket != kNoSocket) {
        closesocket(static_cast<SOCKET>(socket));
    }
}

}  // namespace platform
