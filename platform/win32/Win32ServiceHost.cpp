// The service wrapper on Windows: the service control manager's dispatcher on the main thread, the
// body on the service's thread.
#include <windows.h>

#include <aclapi.h>
#include <knownfolders.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/ServiceHost.h"
#include "platform/win32/Win32Text.h"

namespace platform {

namespace {

// The one service of this process. Static, not on run()'s stack: the dispatcher may return on the
// main thread as soon as the service thread has reported it stopped, while that thread still
// leaves serviceMain.
struct Service {
    std::wstring name;
    std::function<void()> requestStop;
    const std::function<int()>* body = nullptr;
    std::atomic<bool> entered{false};  // the manager started the service: the body ran there
    int exitCode = 0;

    std::mutex reporting;  // the manager's thread and the service's both report
    SERVICE_STATUS_HANDLE status = nullptr;
    bool stopped = false;
};
Service service;

void report(DWORD state, int exitCode) {
    std::lock_guard<std::mutex> lock(service.reporting);
    if (service.status == nullptr || service.stopped) {
        return;
    }
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    if (exitCode != 0) {
        status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        status.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    }
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 10000 : 0;
    service.stopped = state == SERVICE_STOPPED;
    SetServiceStatus(service.status, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    switch (code) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            report(SERVICE_STOP_PENDING, 0);
            service.requestStop();
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Whether `folder` is fit to hold the service's log: a plain folder (no junction or link) owned by
// the local system or the administrators. Any user may create folders under ProgramData; one made
// there first by an ordinary user, or a junction to elsewhere, would have this service (the local
// system) write a file where that user chose.
bool ownedByTheSystem(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                              IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    LocalFree(descriptor);
    return trusted;
}

// A service has no console: its standard error goes to <ProgramData>\<name>\<name>.log
// (appended), or else nowhere, so that the body writes its lines as it does elsewhere. The folder
// is made for the local system and the administrators alone (users may read), and used only while
// it is theirs (see ownedByTheSystem).
void openServiceLog() {
    wchar_t* data = nullptr;
    std::wstring file;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &data))) {
        const std::wstring folder = std::wstring(data) + L"\\" + service.name;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", SDDL_REVISION_1,
                &descriptor, nullptr)) {
            SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
            CreateDirectoryW(folder.c_str(), &attributes);
            LocalFree(descriptor);
        }
        if (ownedByTheSystem(folder)) {
            file = folder + L"\\" + service.name + L".log";
        }
    }
    CoTaskMemFree(data);
    if (file.empty() || _wfreopen(file.c_str(), L"a", stderr) == nullptr) {
        _wfreopen(L"NUL", L"w", stderr);
    }
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    service.entered = true;
    {
        std::lock_guard<std::mutex> lock(service.reporting);
        service.status = RegisterServiceCtrlHandlerExW(service.name.c_str(), &control, nullptr);
    }
    if (service.status == nullptr) {
        service.exitCode = 1;  // the manager cannot be told anything: it sees the process end
        return;
    }
    openServiceLog();
    report(SERVICE_RUNNING, 0);
    service.exitCode = (*service.body)();
    report(SERVICE_STOPPED, service.exitCode);
}

// Whether the service control manager started this process as the service: the manager names
// the process it started for it. Asked before the dispatcher: Windows' dispatcher answers
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT at once to a process the manager did not start, but
// Wine's waits for a control pipe that never comes.
bool startedAsService(const std::wstring& name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return false;
    }
    bool started = false;
    SC_HANDLE handle = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (handle != nullptr) {
        SERVICE_STATUS_PROCESS status{};
        DWORD size = 0;
        started = QueryServiceStatusEx(handle, SC_STATUS_PROCESS_INFO,
                                       reinterpret_cast<BYTE*>(&status), sizeof status, &size) &&
                  status.dwProcessId == GetCurrentProcessId();
        CloseServiceHandle(handle);
    }
    CloseServiceHandle(manager);
    return started;
}

}  // namespace

int ServiceHost::run(const std::string& name, std::function<void()> requestStop,
                     const std::function<int()>& body) {
    Win32Text::toWide(name, service.name);
    service.requestStop = std::move(requestStop);
    service.body = &body;
    SERVICE_TABLE_ENTRYW table[] = {{&service.name[0], &serviceMain}, {nullptr, nullptr}};
    if (startedAsService(service.name) && (StartServiceCtrlDispatcherW(table) || service.entered)) {
        return service.exitCode;
    }
    // Started from a console or by hand, not as a service (or the dispatcher failed at once,
    // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, which leaves no manager to report to either).
    return body();
}

}  // namespace platform
