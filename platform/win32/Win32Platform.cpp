// The platform layer on 32-bit Windows: LoadLibraryW for plug-ins, the process heap for answers, a
// named mutex in the logon session's namespace as the single-instance lock.

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ListenOptions.h"
#include "platform/ProcessResources.h"
#include "platform/StandardStreams.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool isDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// Any page on this machine can name a module. A UNC or device path would make the loader reach out
// to a remote share (running remote code, and sending the user's network credentials even when the
// load fails), so such names never reach it. "\\?\C:\..." is a local path in long form and stays
// allowed; so does the NT form "\??\C:\...", which the loader would otherwise pass through as is.
bool isNetworkOrDevicePath(const std::wstring& name) {
    const bool twoSeparators = name.size() >= 2 && isSeparator(name[0]) && isSeparator(name[1]);
    const bool ntPrefix = name.compare(0, 4, L"\\??\\") == 0;
    if (!twoSeparators && !ntPrefix) {
        return false;
    }
    const bool localLongForm = (name.compare(0, 4, L"\\\\?\\") == 0 || ntPrefix) &&
                               name.size() >= 6 && isDriveLetter(name[4]) && name[5] == L':';
    return !localLongForm;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     unsigned long& errorCode) {
    std::u16string utf16;
    if (!Utf8::toUtf16(utf8Name, utf16)) {
        errorCode = ERROR_NO_UNICODE_TRANSLATION;
        return nullptr;
    }
    const std::wstring wide(utf16.begin(), utf16.end());
    if (isNetworkOrDevicePath(wide)) {
        errorCode = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    // A windowless program must never stop on a "cannot load" dialog box: it would stall every
    // page.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module = LoadLibraryW(wide.c_str());
    const DWORD error = GetLastError();
    SetThreadErrorMode(previousMode, nullptr);
    if (module == nullptr) {
        errorCode = error != 0 ? error : ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    errorCode = 0;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

DynamicLibrary::DynamicLibrary(void* handle) : handle(handle) {}

DynamicLibrary::~DynamicLibrary() {
    FreeLibrary(static_cast<HMODULE>(handle));
}

InvokeFunc DynamicLibrary::findInvoke() const {
    FARPROC symbol = GetProcAddress(static_cast<HMODULE>(handle), "Invoke");
    InvokeFunc function = nullptr;
    static_assert(sizeof(function) == sizeof(symbol), "function pointers differ in size");
    std::memcpy(&function, &symbol, sizeof(function));
    return function;
}

void DynamicLibrary::freeAnswer(char* answer) {
    if (answer != nullptr) {
        HeapFree(GetProcessHeap(), 0, answer);
    }
}

InstanceLock::InstanceLock() : handle(-1), heldElsewhere(false) {
    // No namespace prefix: the name lives in this logon session's local namespace.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"{DCB498CC-37CF-47c0-9EDD-2B0B054FBB83}");
    const DWORD error = GetLastError();
    if (mutex != nullptr && error == ERROR_ALREADY_EXISTS) {
        heldElsewhere = true;
        CloseHandle(mutex);
        return;
    }
    if (mutex != nullptr) {
        handle = reinterpret_cast<long long>(mutex);
    }
}

InstanceLock::~InstanceLock() {
    if (handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    }
}

bool ListenOptions::reuseAddress() {
    return false;
}

// Sockets are not counted against a per-process descriptor limit here.
void ProcessResources::raiseDescriptorLimit() {}

// The process heap decommits freed blocks by itself.
void ProcessResources::releaseFreeMemory() {}

// A windowless program started without redirection has no standard handles at all. The NUL device
// is not told apart from other character devices: a console must never be taken for it.
bool StandardStreams::isDiscarded(Stream stream) {
    const HANDLE handle = GetStdHandle(stream == kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

}  // namespace platform
