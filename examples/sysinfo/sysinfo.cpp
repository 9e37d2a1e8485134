// sysinfo: a ravelink plug-in that tells a page about the machine it runs on.
//
// Method "info". Its parameter is a JSON object; the optional member "fields" is an array naming
// what to report, out of "host", "os" and "user" (all three when it is absent):
//
//   Param {"fields":["user"]}   ->  result 0, {"user":"alice"}
//   no Param                    ->  result 0, {"host":"...","os":"...","user":"..."}
//
// Failures carry a JSON answer {"error":"..."} that says what went wrong:
//   1  unknown method
//   2  the parameter is not a JSON object of the form above
//   3  the machine could not be queried, or a name is not valid UTF-8
//   4  out of memory (no answer: the host writes its own "function faild." text)
//
// What it shows: a real JSON parser on an untrusted parameter (iterative, so a deeply nested text
// cannot exhaust the stack; encoding checked), answers handed over only in blocks from
// ravelink_copy_answer(), UTF-8 answers on both platforms, and an Invoke that never lets an
// exception escape.

#include <ravelink/ravelink_plugin.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

namespace {

enum Status : int32_t {
    kOk = 0,
    kUnknownMethod = 1,
    kBadParam = 2,
    kSystemError = 3,
    kNoMemory = 4,
};

// Raised inside this file only, and always caught before Invoke returns.
struct Failure {
    Status status;
    std::string message;
};

// The writer refuses ill-formed UTF-8, so a strange host or user name becomes a clear failure
// instead of an answer the host could not send as it is.
using Writer = rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>,
                                 rapidjson::CrtAllocator, rapidjson::kWriteValidateEncodingFlag>;

const char* const kFields[] = {"host", "os", "user"};

#if defined(_WIN32)
std::string toUtf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        throw Failure{kSystemError, "a name could not be converted to UTF-8"};
    }
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);  // without the terminating NUL
    return out;
}

std::string hostName() {
    wchar_t name[256];
    DWORD size = sizeof name / sizeof name[0];
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
        throw Failure{kSystemError,
                      "GetComputerNameExW failed, error " + std::to_string(GetLastError())};
    }
    return toUtf8(name);
}

std::string userName() {
    wchar_t name[257];
    DWORD size = sizeof name / sizeof name[0];
    if (!GetUserNameW(name, &size)) {
        throw Failure{kSystemError, "GetUserNameW failed, error " + std::to_string(GetLastError())};
    }
    return toUtf8(name);
}

// GetVersionEx reports what the module's manifest lets it see; ntdll's RtlGetVersion tells the
// truth.
std::string osName() {
    using RtlGetVersionFunc = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info;
    std::memset(&info, 0, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC entry = ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    RtlGetVersionFunc getVersion = nullptr;
    static_assert(sizeof getVersion == sizeof entry, "function pointers of one size");
    std::memcpy(&getVersion, &entry, sizeof getVersion);
    if (getVersion == nullptr || getVersion(&info) != 0) {
        throw Failure{kSystemError, "RtlGetVersion is not available"};
    }
    return "Windows " + std::to_string(info.dwMajorVersion) + "." +
           std::to_string(info.dwMinorVersion) + " (build " + std::to_string(info.dwBuildNumber) +
           ")";
}
#else
std::string hostName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0) {
        throw Failure{kSystemError, "gethostname failed"};
    }
    name[sizeof name - 1] = '\0';
    return name;
}

std::string userName() {
    std::vector<char> buffer(16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        throw Failure{kSystemError,
                      "no user name for user id " + std::to_string(static_cast<long>(geteuid()))};
    }
    return found->pw_name;
}

std::string osName() {
    struct utsname names;
    if (uname(&names) != 0) {
        throw Failure{kSystemError, "uname failed"};
    }
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}
#endif

std::string fieldValue(const std::string& field) {
    if (field == "host") {
        return hostName();
    }
    if (field == "os") {
        return osName();
    }
    return userName();
}

bool knownField(const char* name) {
    for (const char* field : kFields) {
        if (std::strcmp(field, name) == 0) {
            return true;
        }
    }
    return false;
}

// Reads the parameter text into the list of fields to report, in the page's order, without
// repeats. `param` comes from the page unchanged: anything may be in it.
std::vector<std::string> requestedFields(const char* param) {
    rapidjson::Document document;
    // Iterative: a parameter of a million "[" costs heap, not stack. Encoding checked: the page
    // may send any bytes in a binary message.
    document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(param);
    if (document.HasParseError()) {
        throw Failure{kBadParam, std::string("param is not valid JSON: ") +
                                     rapidjson::GetParseError_En(document.GetParseError()) +
                                     " (at byte " + std::to_string(document.GetErrorOffset()) +
                                     ")"};
    }
    if (!document.IsObject()) {
        throw Failure{kBadParam, "param must be a JSON object, like {\"fields\":[\"host\"]}"};
    }

    std::vector<std::string> fields;
    auto member = document.FindMember("fields");
    if (member == document.MemberEnd()) {
        fields.assign(std::begin(kFields), std::end(kFields));
        return fields;
    }
    if (!member->value.IsArray() || member->value.Empty()) {
        throw Failure{kBadParam, "\"fields\" must be a non-empty array of names"};
    }
    for (const auto& item : member->value.GetArray()) {
        if (!item.IsString() || !knownField(item.GetString())) {
            throw Failure{kBadParam, "\"fields\" may name only \"host\", \"os\" and \"user\""};
        }
        std::string name = item.GetString();
        bool seen = false;
        for (const auto& field : fields) {
            seen = seen || field == name;
        }
        if (!seen) {
            fields.push_back(name);
        }
    }
    return fields;
}

std::string machineInfo(const char* param) {
    std::vector<std::string> fields = requestedFields(param);
    rapidjson::StringBuffer buffer;
    Writer writer(buffer);
    writer.StartObject();
    for (const auto& field : fields) {
        std::string value = fieldValue(field);
        writer.Key(field.c_str());
        if (!writer.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()))) {
            throw Failure{kSystemError, "the " + field + " name is not valid UTF-8"};
        }
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

std::string errorAnswer(const std::string& message) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    writer.Key("error");
    writer.String(message.c_str(), static_cast<rapidjson::SizeType>(message.size()));
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

RAVELINK_PLUGIN_EXPORT int32_t RAVELINK_CALL Invoke(const char* method, const char* param,
                                                    char** output) {
    // Nothing may leave Invoke by exception: the host cannot recover from it.
    try {
        Status status = kOk;
        std::string answer;
        try {
            if (std::strcmp(method, "info") != 0) {
                throw Failure{kUnknownMethod, "unknown method; this plug-in knows \"info\""};
            }
            answer = machineInfo(param);
        } catch (const Failure& failure) {
            status = failure.status;
            answer = errorAnswer(failure.message);
        }
        // The answer goes to the host in a block from its heap; our std::string is freed here.
        *output = ravelink_copy_answer(answer.c_str());
        return *output != nullptr ? status : kNoMemory;
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (...) {
        return kSystemError;
    }
}
