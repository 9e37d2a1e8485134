// Helper processes on Windows: ChildProcess and ParentPipe.
//
// The pipe is a named pipe with a name nobody can guess, open to this account only and created
// as the first and only instance of that name, opened for overlapped I/O on the program's side
// (watched by the event loop through asio::windows::stream_handle, and never inheritable) and
// inherited, as the only handle, by the child: a child whose handle list cannot be built is not
// started. The event loop waits on the process handle for its end. Every child goes into one job
// object that ends its processes when its last handle closes, which the system does when the
// program ends, however it ends.
#include <windows.h>

#include <sddl.h>

#include <asio/windows/object_handle.hpp>
#include <asio/windows/stream_handle.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/ChildProcess.h"
#include "platform/ParentPipe.h"
#include "platform/win32/Win32Text.h"

namespace platform {

namespace {

// The job every child is put into. Created on the first start and never closed by the program:
// its handle goes with the process, and with it every child still running.
HANDLE childrenJob() {
    static HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        if (created != nullptr) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                    sizeof limits);
        }
        return created;
    }();
    return job;
}

std::string describe(DWORD code) {
    char text[32];
    if (code >= 0xC0000000u) {
        std::snprintf(text, sizeof text, "exit code 0x%08lX", static_cast<unsigned long>(code));
    } else {
        std::snprintf(text, sizeof text, "exit code %lu", static_cast<unsigned long>(code));
    }
    return text;
}

// A security descriptor that gives this account, and nobody else, every right; null when the
// account cannot be told. Freed with LocalFree.
PSECURITY_DESCRIPTOR ownerOnly() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return nullptr;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* sid = nullptr;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
        const std::wstring text = std::wstring(L"D:P(A;;GA;;;") + sid + L")";
        LocalFree(sid);
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, nullptr)) {
            descriptor = nullptr;
        }
    }
    CloseHandle(token);
    return descriptor;
}

}  // namespace

struct ChildProcess::Parts {
    Parts(asio::io_context& loop, HANDLE pipe, HANDLE process)
        : pipe(loop, pipe), process(loop, process) {}
    asio::windows::stream_handle pipe;
    asio::windows::object_handle process;  // owns the process handle: signalled once it ended
    bool collected = false;
};

std::unique_ptr<ChildProcess> ChildProcess::start(asio::io_context& loop,
                                                  const std::string& program,
                                                  unsigned long& errorCode) {
    static std::atomic<unsigned long> started(0);
    const std::wstring name = L"\\\\.\\pipe\\ravelink-host-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++started) + L"-" + std::to_wstring(GetTickCount64());
    PSECURITY_DESCRIPTOR descriptor = ownerOnly();
    if (descriptor == nullptr) {
        errorCode = GetLastError() != 0 ? GetLastError() : ERROR_ACCESS_DENIED;
        return nullptr;
    }
    SECURITY_ATTRIBUTES ownPipe{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE ours = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536,
        65536, 0, &ownPipe);
    LocalFree(descriptor);
    if (ours == INVALID_HANDLE_VALUE) {
        errorCode = GetLastError();
        return nullptr;
    }
    // Inheritable, but inherited only through the handle list below, and closed here at once.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE theirs = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                OPEN_EXISTING, 0, nullptr);
    if (theirs == INVALID_HANDLE_VALUE) {
        errorCode = GetLastError();
        CloseHandle(ours);
        return nullptr;
    }

    // Only the child's end of the pipe is inherited, none of the program's sockets: without the
    // list, CreateProcess would hand over every inheritable handle, so no child starts then.
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    const DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT;
    if (listSize == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &listSize)) {
        errorCode = GetLastError() != 0 ? GetLastError() : ERROR_NOT_SUPPORTED;
        CloseHandle(theirs);
        CloseHandle(ours);
        return nullptr;
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &theirs,
                                   sizeof theirs, nullptr, nullptr)) {
        errorCode = GetLastError() != 0 ? GetLastError() : ERROR_NOT_SUPPORTED;
        DeleteProcThreadAttributeList(list);
        CloseHandle(theirs);
        CloseHandle(ours);
        return nullptr;
    }
    startup.lpAttributeList = list;
    std::wstring path;
    Win32Text::toWide(program, path);
    std::wstring command = L"\"" + path + L"\" " +
                           std::to_wstring(reinterpret_cast<std::uintptr_t>(theirs)) + L" " +
                           std::to_wstring(GetCurrentProcessId());
    PROCESS_INFORMATION created{};
    const BOOL ok = CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, TRUE, flags,
                                   nullptr, nullptr, &startup.StartupInfo, &created);
    const DWORD startError = GetLastError();
    DeleteProcThreadAttributeList(list);
    CloseHandle(theirs);
    if (!ok) {
        CloseHandle(ours);
        errorCode = startError;
        return nullptr;
    }
    HANDLE job = childrenJob();
    if (job != nullptr) {
        AssignProcessToJobObject(job, created.hProcess);
    }
    ResumeThread(created.hThread);
    CloseHandle(created.hThread);
    return std::unique_ptr<ChildProcess>(
        new ChildProcess(std::make_unique<Parts>(loop, ours, created.hProcess)));
}

std::string ChildProcess::besideProgram(const std::string& name) {
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &buffer[0], static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    const std::wstring::size_type slash = buffer.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"" : buffer.substr(0, slash + 1);
    return Win32Text::toUtf8(folder) + name + ".exe";
}

unsigned long ChildProcess::brokenPipeCode() {
    return ERROR_BROKEN_PIPE;
}

unsigned long ChildProcess::tooManyProcessesCode() {
    return ERROR_NO_PROC_SLOTS;
}

ChildProcess::ChildProcess(std::unique_ptr<Parts> parts) : parts(std::move(parts)) {}

ChildProcess::~ChildProcess() {
    std::error_code ignored;
    parts->pipe.close(ignored);
    if (!parts->collected) {
        // Only when the loop goes before the child was seen to end: a terminated child ends at
        // once.
        TerminateProcess(parts->process.native_handle(), 1);
        WaitForSingleObject(parts->process.native_handle(), 5000);
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
    if (!parts->collected) {
        TerminateProcess(parts->process.native_handle(), 1);
    }
}

void ChildProcess::whenExited(ExitHandler exited) {
    Parts* const own = parts.get();
    parts->process.async_wait([own, exited = std::move(exited)](const std::error_code& error) {
        if (error) {
            return;  // the owner has gone
        }
        DWORD code = 0;
        GetExitCodeProcess(own->process.native_handle(), &code);
        own->collected = true;
        exited(describe(code));
    });
}

namespace {

// Ends this process once the parent has ended: the job ends it too, this covers a parent that
// could not put it into one.
DWORD WINAPI endWithParent(void* parent) {
    WaitForSingleObject(static_cast<HANDLE>(parent), INFINITE);
    TerminateProcess(GetCurrentProcess(), 1);
    return 0;
}

}  // namespace

std::unique_ptr<ParentPipe> ParentPipe::open(int argc, char** argv, std::string& problem) {
    if (argc != 3) {
        problem = "started without a pipe: this program is started by ravelink only";
        return nullptr;
    }
    const auto handle = static_cast<std::uintptr_t>(std::strtoull(argv[1], nullptr, 10));
    const auto parentId = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
    HANDLE pipe = reinterpret_cast<HANDLE>(handle);
    if (handle == 0 || GetFileType(pipe) != FILE_TYPE_PIPE) {
        problem = "started without a usable pipe";
        return nullptr;
    }
    HANDLE parent = OpenProcess(SYNCHRONIZE, FALSE, parentId);
    if (parent == nullptr || WaitForSingleObject(parent, 0) == WAIT_OBJECT_0) {
        problem = "the program that started this one has already ended";
        return nullptr;
    }
    HANDLE watcher = CreateThread(nullptr, 0, &endWithParent, parent, 0, nullptr);
    if (watcher != nullptr) {
        CloseHandle(watcher);
    }
    return std::unique_ptr<ParentPipe>(new ParentPipe(static_cast<std::intptr_t>(handle)));
}

ParentPipe::ParentPipe(std::intptr_t handle) : handle(handle) {}

ParentPipe::~ParentPipe() {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::size_t ParentPipe::read(char* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD wanted = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
    if (!ReadFile(reinterpret_cast<HANDLE>(handle), buffer, wanted, &got, nullptr)) {
        return 0;
    }
    return got;
}

bool ParentPipe::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        DWORD wrote = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), bytes.data() + done,
                       left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left), &wrote,
                       nullptr)) {
            return false;
        }
        done += wrote;
    }
    return true;
}

}  // namespace platform
