// The platform layer on Windows, 32- and 64-bit: LoadLibraryW for plug-ins, the process heap for
// answers, a named mutex in the logon session's namespace as the single-instance lock, the policy
// values under HKLM\Software\Policies\ravelink.

#include <winsock2.h>
// winsock2.h goes first: windows.h would otherwise bring in the old winsock.h.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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
#include "platform/win32/Win32Text.h"

namespace platform {

bool Win32Text::toWide(const std::string& utf8, std::wstring& wide) {
    std::u16string utf16;
    if (!Utf8::toUtf16(utf8, utf16)) {
        return false;
    }
    wide.assign(utf16.begin(), utf16.end());
    return true;
}

std::string Win32Text::toUtf8(const std::wstring& wide) {
    if (wide.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], size,
                            nullptr, nullptr);
    }
    return utf8;
}

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

// "C:\dir\x.dll", "C:/dir/x.dll" or "\\?\C:\dir\x.dll": a path that names one file whatever the
// current directory is. Drive-relative ("C:x.dll") and root-relative ("\x.dll") forms are not.
bool isAbsoluteLocalPath(const std::wstring& name) {
    const std::size_t start = name.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    return name.size() >= start + 3 && isDriveLetter(name[start]) && name[start + 1] == L':' &&
           isSeparator(name[start + 2]);
}

// Owns one kernel handle.
class Handle {
  public:
    explicit Handle(HANDLE handle) : handle(handle) {}
    ~Handle() {
        if (valid()) {
            CloseHandle(handle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }

  private:
    HANDLE handle;
};

std::wstring fullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                              buffer.data(), nullptr);
        if (length == 0) {
            return path;
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length + 1);
    }
}

// The path of an open file or folder after every link, short name and case has been resolved, in
// the \\?\C:\... form; empty if the system cannot tell.
std::wstring finalPath(HANDLE file) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length + 1);
    }
}

// \\?\C:\x -> C:\x and \\?\UNC\server\x -> \\server\x: the form people read.
std::wstring withoutLongPrefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\" + path.substr(7);
    }
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return path.substr(4);
    }
    return path;
}

// A resolved path as a location key: readable form, '/' separators, upper case by the invariant
// rules, which is how the file systems compare names.
std::string locationKey(const std::wstring& resolved) {
    std::wstring key = withoutLongPrefix(resolved);
    for (wchar_t& c : key) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    if (!key.empty()) {
        std::vector<wchar_t> upper(key.size() + 1);
        const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.c_str(),
                                         static_cast<int>(key.size()), upper.data(),
                                         static_cast<int>(upper.size()), nullptr, nullptr, 0);
        if (length > 0) {
            key.assign(upper.data(), static_cast<size_t>(length));
        }
    }
    return Win32Text::toUtf8(key);
}

std::wstring programFolder() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size()) {
            std::wstring program(buffer.data(), length);
            const std::wstring::size_type slash = program.find_last_of(L"\\/");
            return slash == std::wstring::npos ? std::wstring() : program.substr(0, slash + 1);
        }
        buffer.resize(buffer.size() * 2);
    }
}

HMODULE loadQuietly(const std::wstring& name, DWORD& error) {
    // A windowless program must never stop on a "cannot load" dialog box: it would stall every
    // page.
    DWORD previousMode = 0;
    SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    // A plug-in named by its absolute path finds the libraries it ships beside it: the loader looks
    // for its imports in the plug-in's own folder, then in the program's folder and the system
    // folders, and never in the current folder or PATH, where anyone could have put a library of
    // that name. Bare names and relative paths keep the standard search, since the plug-in's own
    // folder is undefined for them.
    HMODULE module = nullptr;
    if (isAbsoluteLocalPath(name)) {
        std::wstring path = name;
        if (path.compare(0, 4, L"\\\\?\\") != 0) {
            // The plug-in's folder is taken from the last backslash only.
            std::replace(path.begin(), path.end(), L'/', L'\\');
        }
        module =
            LoadLibraryExW(path.c_str(), nullptr,
                           LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    } else {
        module = LoadLibraryW(name.c_str());
    }
    error = GetLastError();
    SetThreadErrorMode(previousMode, nullptr);
    return module;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     unsigned long& errorCode) {
    std::wstring wide;
    if (!Win32Text::toWide(utf8Name, wide)) {
        errorCode = ERROR_NO_UNICODE_TRANSLATION;
        return nullptr;
    }
    if (isNetworkOrDevicePath(wide)) {
        errorCode = ERROR_ACCESS_DENIED;
        return nullptr;
    }
    DWORD error = 0;
    HMODULE module = loadQuietly(wide, error);
    if (module == nullptr) {
        errorCode = error != 0 ? error : ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    errorCode = 0;
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

namespace {

// With `loadIt` false the file is only looked at: true when it would have been loaded.
// With `hold` given, the checked file stays open (see below) in it until the caller drops it.
bool admitAndLoad(const std::string& utf8Name, const DynamicLibrary::Admission& admits,
                  unsigned long& errorCode, std::string& location, bool loadIt, HMODULE& module,
                  std::shared_ptr<void>* hold = nullptr) {
    std::wstring wide;
    if (!Win32Text::toWide(utf8Name, wide)) {
        errorCode = ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    if (wide.empty()) {
        errorCode = ERROR_MOD_NOT_FOUND;
        return false;
    }
    if (isNetworkOrDevicePath(wide)) {
        errorCode = ERROR_ACCESS_DENIED;
        return false;
    }
    // LoadLibraryW looks for a bare name beside the program first; the rest of its search (the
    // system folders, the current folder, PATH) is no place for modules.
    if (wide.find_first_of(L"\\/:") == std::wstring::npos) {
        wide = programFolder() + wide;
    }
    // LoadLibraryW adds ".dll" to a file name without an extension.
    const std::wstring::size_type nameStart = wide.find_last_of(L"\\/:");
    const std::wstring fileName = wide.substr(nameStart == std::wstring::npos ? 0 : nameStart + 1);
    if (fileName.find(L'.') == std::wstring::npos) {
        wide += L".dll";
    }
    const std::wstring full = fullPath(wide);

    // Held open, sharing reading only, until the loader has mapped the file: nobody can change,
    // rename or delete the file that was checked. The loader's own open only reads.
    Handle file(CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        DWORD openError = GetLastError();
        // Not found is only told where loading would be allowed; elsewhere it is access denied.
        const std::wstring::size_type slash = full.find_last_of(L"\\/");
        if (slash != std::wstring::npos) {
            Handle folder(CreateFileW(full.substr(0, slash + 1).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
            const std::wstring folderPath = folder.valid() ? finalPath(folder.get()) : L"";
            if (!folderPath.empty()) {
                const std::wstring resolved = folderPath +
                                              (folderPath.back() == L'\\' ? L"" : L"\\") +
                                              full.substr(slash + 1);
                location = Win32Text::toUtf8(withoutLongPrefix(resolved));
                if (admits(locationKey(resolved))) {
                    if (openError == ERROR_FILE_NOT_FOUND || openError == ERROR_PATH_NOT_FOUND) {
                        openError = ERROR_MOD_NOT_FOUND;
                    }
                    errorCode = openError != 0 ? openError : ERROR_MOD_NOT_FOUND;
                    return false;
                }
            }
        }
        errorCode = ERROR_ACCESS_DENIED;
        return false;
    }
    const std::wstring resolved = finalPath(file.get());
    if (resolved.empty()) {
        errorCode = ERROR_ACCESS_DENIED;
        return false;
    }
    location = Win32Text::toUtf8(withoutLongPrefix(resolved));
    if (!admits(locationKey(resolved)) || isNetworkOrDevicePath(withoutLongPrefix(resolved))) {
        errorCode = ERROR_ACCESS_DENIED;
        return false;
    }
    if (!loadIt) {
        if (hold != nullptr) {
            HANDLE copy = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), file.get(), GetCurrentProcess(), &copy, 0,
                                 FALSE, DUPLICATE_SAME_ACCESS)) {
                errorCode = GetLastError();
                return false;
            }
            hold->reset(copy, &CloseHandle);
        }
        errorCode = 0;
        return true;
    }
    DWORD error = 0;
    module = loadQuietly(resolved, error);
    if (module == nullptr) {
        errorCode = error != 0 ? error : ERROR_MOD_NOT_FOUND;
        return false;
    }
    errorCode = 0;
    return true;
}

}  // namespace

std::unique_ptr<DynamicLibrary> DynamicLibrary::load(const std::string& utf8Name,
                                                     const Admission& admits,
                                                     unsigned long& errorCode,
                                                     std::string& location) {
    HMODULE module = nullptr;
    if (!admitAndLoad(utf8Name, admits, errorCode, location, true, module)) {
        return nullptr;
    }
    return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(module));
}

bool DynamicLibrary::locate(const std::string& utf8Name, const Admission& admits,
                            unsigned long& errorCode, std::string& location,
                            std::shared_ptr<void>& hold) {
    HMODULE unused = nullptr;
    hold.reset();
    return admitAndLoad(utf8Name, admits, errorCode, location, false, unused, &hold);
}

int DynamicLibrary::imageWidth(const std::string& utf8Name) {
    std::wstring wide;
    if (!Win32Text::toWide(utf8Name, wide) || wide.empty() || isNetworkOrDevicePath(wide)) {
        return 0;
    }
    if (wide.find_first_of(L"\\/:") == std::wstring::npos) {
        wide = programFolder() + wide;
    }
    const std::wstring::size_type nameStart = wide.find_last_of(L"\\/:");
    if (wide.find(L'.', nameStart == std::wstring::npos ? 0 : nameStart + 1) ==
        std::wstring::npos) {
        wide += L".dll";
    }
    Handle file(CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return 0;
    }
    // The DOS header says where the PE header is; its file header names the machine.
    const auto readAt = [&file](LONG offset, void* into, DWORD size) {
        DWORD got = 0;
        return SetFilePointer(file.get(), offset, nullptr, FILE_BEGIN) !=
                   INVALID_SET_FILE_POINTER &&
               ReadFile(file.get(), into, size, &got, nullptr) && got == size;
    };
    IMAGE_DOS_HEADER dos{};
    if (!readAt(0, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0 ||
        dos.e_lfanew > 0x10000000) {
        return 0;
    }
    struct {
        DWORD signature;
        IMAGE_FILE_HEADER header;
    } pe{};
    if (!readAt(dos.e_lfanew, &pe, sizeof pe) || pe.signature != IMAGE_NT_SIGNATURE) {
        return 0;
    }
    switch (pe.header.Machine) {
        case IMAGE_FILE_MACHINE_I386:
            return 32;
        case IMAGE_FILE_MACHINE_AMD64:
            return 64;
        default:
            return 0;
    }
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

// Without it, a program that sets SO_REUSEADDR could bind the same address and take over
// connections meant for this one.
int ListenOptions::prepare(std::uintptr_t nativeSocket) {
    const BOOL on = TRUE;
    if (setsockopt(static_cast<SOCKET>(nativeSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        return WSAGetLastError();
    }
    return 0;
}

// The windowless program has no console, so no Ctrl-C reaches it; it serves until the session ends.
std::vector<int> StopSignals::numbers() {
    return {};
}

// Sockets are not counted against a per-process descriptor limit here.
void ProcessResources::raiseDescriptorLimit() {}

// A write to a closed pipe or socket fails with an error here; there is no signal to ignore.
void ProcessResources::ignoreBrokenPipes() {}

// The process heap decommits freed blocks by itself.
void ProcessResources::releaseFreeMemory() {}

// A windowless program started without redirection has no standard handles at all. The NUL device
// is not told apart from other character devices: a console must never be taken for it.
namespace {

// The kernel's name of the device behind `handle` ("\Device\Null" for NUL); empty when it
// cannot be asked.
std::wstring deviceName(HANDLE handle) {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll != nullptr ? reinterpret_cast<QueryObject>(reinterpret_cast<void*>(
                                              GetProcAddress(ntdll, "NtQueryObject")))
                                        : nullptr;
    if (query == nullptr) {
        return L"";
    }
    // OBJECT_NAME_INFORMATION: a UNICODE_STRING whose text follows it in the same buffer.
    struct NameInformation {
        USHORT length;
        USHORT maximumLength;
        wchar_t* buffer;
    };
    alignas(NameInformation) unsigned char storage[1024];
    ULONG needed = 0;
    const int kObjectNameInformation = 1;
    if (query(handle, kObjectNameInformation, storage, sizeof storage, &needed) != 0) {
        return L"";
    }
    const auto* name = reinterpret_cast<const NameInformation*>(storage);
    return name->buffer != nullptr ? std::wstring(name->buffer, name->length / sizeof(wchar_t))
                                   : L"";
}

}  // namespace

// A program of the graphical subsystem started at logon, by the installer or from Explorer has no
// streams. NUL, like a console, is a character device; a console answers GetConsoleMode and NUL
// names itself \Device\Null (Wine hands a program the Unix /dev/null as a character device that
// has no name at all, and nothing else can read it either).
StandardStreams::Reader StandardStreams::reader(Stream stream) {
    const HANDLE handle = GetStdHandle(stream == kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return kNobody;
    }
    SetLastError(NO_ERROR);
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
        return kNobody;  // closed, or not a handle at all
    }
    if (type != FILE_TYPE_CHAR) {
        return kPerson;
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        return kPerson;
    }
    const std::wstring device = deviceName(handle);
    return device.empty() || _wcsicmp(device.c_str(), L"\\Device\\Null") == 0 ? kNobody : kPerson;
}

std::unique_ptr<LogFile> LogFile::open(const std::string& path) {
    std::wstring wide;
    if (!Win32Text::toWide(path, wide)) {
        return nullptr;
    }
    // FILE_APPEND_DATA alone: every write lands at the end, also when another copy appends too.
    const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size)) {
        size.QuadPart = 0;
    }
    return std::unique_ptr<LogFile>(
        new LogFile(reinterpret_cast<long long>(file), static_cast<std::uint64_t>(size.QuadPart)));
}

LogFile::~LogFile() {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool LogFile::append(const char* data, std::size_t size) {
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle), data, chunk, &written, nullptr) ||
            written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

bool LogFile::replace(const std::string& from, const std::string& to) {
    std::wstring wideFrom;
    std::wstring wideTo;
    return Win32Text::toWide(from, wideFrom) && Win32Text::toWide(to, wideTo) &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool LogFile::empty(const std::string& path) {
    std::wstring wide;
    if (!Win32Text::toWide(path, wide)) {
        return false;
    }
    // Fails while another program has the file mapped into memory.
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

// The known folder, not %LOCALAPPDATA%: the program reads no environment.
std::string LogFile::folder() {
    wchar_t* local = nullptr;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local))) {
        CoTaskMemFree(local);
        return "";
    }
    std::wstring folder(local);
    CoTaskMemFree(local);
    for (const wchar_t* part : {L"\\ravelink", L"\\logs"}) {
        folder += part;
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return "";
        }
    }
    return Win32Text::toUtf8(folder + L"\\");
}

bool ModuleLocation::folderKey(const std::string& utf8Folder, std::string& key,
                               std::string& problem) {
    std::wstring wide;
    if (!Win32Text::toWide(utf8Folder, wide)) {
        problem = "a folder name is not valid UTF-8";
        return false;
    }
    const std::wstring local = withoutLongPrefix(wide);
    if (local.size() < 3 || !isDriveLetter(local[0]) || local[1] != L':' ||
        !isSeparator(local[2])) {
        problem =
            "\"" + utf8Folder +
            "\" is not a folder on a local drive (write it as C:\\folder; network folders are "
            "never loaded from)";
        return false;
    }
    const std::wstring full = fullPath(wide);
    Handle folder(CreateFileW(full.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring resolved = folder.valid() ? finalPath(folder.get()) : L"";
    key = locationKey(resolved.empty() ? full : resolved);
    if (key.empty() || key.back() != '/') {
        key += '/';
    }
    return true;
}

std::string ModuleLocation::informationPluginKey() {
    Handle file(CreateFileW((programFolder() + L"ravelink_info.dll").c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    const std::wstring resolved = file.valid() ? finalPath(file.get()) : L"";
    return resolved.empty() ? std::string() : locationKey(resolved);
}

namespace {

const wchar_t kPolicyKey[] = L"Software\\Policies\\ravelink";

std::string windowsMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text != nullptr ? text : L"", length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    return "error " + std::to_string(error) +
           (message.empty() ? "" : " (" + Win32Text::toUtf8(message) + ")");
}

}  // namespace

const char* PolicySource::location() {
    return "HKLM\\Software\\Policies\\ravelink";
}

// Each value becomes one member: REG_MULTI_SZ a list of texts, REG_SZ a text, REG_DWORD a number
// (0 and 1 as false and true), anything else null, so that the policy's own rules report a value
// of the wrong kind by name.
PolicySource::Status PolicySource::read(std::string& json, std::string& reason) {
    HKEY key = nullptr;
    // The same view from the 32-bit and the 64-bit program.
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        return kAbsent;
    }
    if (opened != ERROR_SUCCESS) {
        reason = std::string(location()) + ": " + windowsMessage(static_cast<DWORD>(opened));
        return kFailed;
    }
    struct KeyCloser {
        HKEY key;
        ~KeyCloser() { RegCloseKey(key); }
    } closer{key};

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    for (DWORD index = 0;; ++index) {
        std::vector<wchar_t> name(16384);
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        LONG status =
            RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS) {
            break;
        }
        std::vector<BYTE> data(size + 2 * sizeof(wchar_t), 0);
        nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = size;
        if (status == ERROR_SUCCESS) {
            status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                                   data.data(), &dataSize);
        }
        if (status != ERROR_SUCCESS) {
            reason = std::string(location()) + ": " + windowsMessage(static_cast<DWORD>(status));
            return kFailed;
        }
        const std::string member = Win32Text::toUtf8(std::wstring(name.data(), nameLength));
        writer.Key(member.c_str(), static_cast<rapidjson::SizeType>(member.size()));
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
        const size_t units = dataSize / sizeof(wchar_t);
        if (type == REG_MULTI_SZ) {
            writer.StartArray();
            size_t start = 0;
            while (start < units && text[start] != L'\0') {
                size_t end = start;
                while (end < units && text[end] != L'\0') {
                    ++end;
                }
                const std::string item = Win32Text::toUtf8(std::wstring(text + start, end - start));
                writer.String(item.c_str(), static_cast<rapidjson::SizeType>(item.size()));
                start = end + 1;
            }
            writer.EndArray();
        } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
            size_t end = 0;
            while (end < units && text[end] != L'\0') {
                ++end;
            }
            const std::string item = Win32Text::toUtf8(std::wstring(text, end));
            writer.String(item.c_str(), static_cast<rapidjson::SizeType>(item.size()));
        } else if (type == REG_DWORD && dataSize == sizeof(DWORD)) {
            DWORD number = 0;
            std::memcpy(&number, data.data(), sizeof number);
            if (number == 0 || number == 1) {
                writer.Bool(number == 1);
            } else {
                writer.Uint(number);
            }
        } else {
            writer.Null();
        }
    }
    writer.EndObject();
    json.assign(buffer.GetString(), buffer.GetSize());
    return kFound;
}

SocketPeek::Seen SocketPeek::look(Handle socket) {
    const SOCKET handle = static_cast<SOCKET>(socket);
    WSAPOLLFD entry{};
    entry.fd = handle;
    entry.events = POLLRDNORM;
    if (WSAPoll(&entry, 1, 0) <= 0) {
        return Seen::nothing;
    }
    if ((entry.revents & (POLLHUP | POLLERR)) != 0) {
        return Seen::closed;
    }
    if ((entry.revents & POLLRDNORM) == 0) {
        return Seen::nothing;
    }
    // Readable, so the peek returns at once. Winsock shows no close behind unread data.
    char byte;
    const int got = ::recv(handle, &byte, 1, MSG_PEEK);
    if (got > 0) {
        return Seen::data;
    }
    if (got == 0) {
        return Seen::closed;
    }
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? Seen::nothing : Seen::closed;
}

}  // namespace platform
