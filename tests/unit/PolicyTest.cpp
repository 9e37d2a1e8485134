// The administrator's policy: which origins it admits, what it refuses to read, and where loads
// are allowed from once links, "..", case, short names and long-form prefixes are resolved.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "policy/OriginPattern.h"
#include "policy/Policy.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <cstdlib>
#endif

using platform::DynamicLibrary;
using policy::OriginPattern;
using policy::Policy;

namespace {

struct OriginCase {
    const char* pattern;
    const char* origin;
    bool admitted;
};

TEST(OriginPattern, AdmitsOnlyTheListedOrigin) {
    const OriginCase cases[] = {
        {"https://app.example.com", "https://app.example.com", true},
        {"https://app.example.com", "HTTPS://APP.Example.COM", true},
        {"HTTPS://App.Example.com", "https://app.example.com", true},
        {"https://app.example.com", "https://app.example.com:443", true},
        {"https://app.example.com:443", "https://app.example.com", true},
        {"https://app.example.com/", "https://app.example.com", true},
        {"https://app.example.com", "http://app.example.com", false},
        {"https://app.example.com", "wss://app.example.com", false},
        {"https://app.example.com", "https://app.example.com:8443", false},
        {"https://app.example.com:8443", "https://app.example.com", false},
        {"https://app.example.com:8443", "https://app.example.com:8443", true},
        {"http://localhost:80", "http://localhost", true},
        {"http://localhost:8080", "http://localhost:8081", false},
        {"https://example.com", "https://example.com.evil.net", false},
        {"https://example.com", "https://evilexample.com", false},
        {"https://example.com", "https://sub.example.com", false},
        {"https://example.com", "https://example.com.", false},
        {"https://example.com", "https://example.com/", false},
        {"https://example.com", "https://example.com:", false},
        {"https://example.com", "https://user@example.com", false},
        {"https://example.com", "https://example.com, https://evil.net", false},
        {"https://example.com", "null", false},
        {"https://example.com", "", false},
        {"https://*.example.com", "https://a.example.com", true},
        {"https://*.example.com", "https://A.B.Example.Com", true},
        {"https://*.example.com", "https://example.com", false},
        {"https://*.example.com", "https://evilexample.com", false},
        {"https://*.example.com", "https://.example.com", false},
        {"https://*.example.com", "https://a.example.com.evil.net", false},
        {"https://*.example.com", "http://a.example.com", false},
        {"https://*.example.com", "https://a.example.com:8443", false},
        {"https://*.example.com:8443", "https://a.example.com:8443", true},
        {"null", "null", true},
        {"null", "https://null", false},
        {"http://[::1]:8080", "http://[::1]:8080", true},
        {"http://[::1]:8080", "http://[::2]:8080", false},
        {"http://127.0.0.1:3000", "http://127.0.0.1:3000", true},
        {"chrome-extension://abcdefghij", "chrome-extension://abcdefghij", true},
        {"chrome-extension://abcdefghij", "chrome-extension://abcdefghik", false},
    };
    for (const OriginCase& c : cases) {
        OriginPattern pattern;
        std::string problem;
        ASSERT_TRUE(OriginPattern::parse(c.pattern, pattern, problem))
            << c.pattern << ": " << problem;
        EXPECT_EQ(pattern.matches(c.origin), c.admitted) << c.pattern << " vs " << c.origin;
    }
}

TEST(OriginPattern, RefusesWhatIsNoOrigin) {
    for (const char* text : {"example.com", "://example.com", "https://", "https://example.com/app",
                             "https://example.com?x", "https://u@example.com",
                             "https://*example.com", "https://a.*.example.com", "https://*",
                             "https://*.0.0.1", "https://*.[::1]", "https://ex ample.com",
                             "https://b\xC3\xBC"
                             "cher.de",
                             "https://example.com:0", "https://example.com:65536",
                             "https://example.com:8x", "1http://example.com", "*"}) {
        OriginPattern pattern;
        std::string problem;
        EXPECT_FALSE(OriginPattern::parse(text, pattern, problem)) << text;
        EXPECT_FALSE(problem.empty()) << text;
    }
}

Policy parsed(const std::string& json) {
    Policy policy;
    std::string problem;
    EXPECT_TRUE(Policy::parse(json, policy, problem)) << json << ": " << problem;
    return policy;
}

bool admits(const Policy& policy, const std::string& origin, const std::string& draft = "") {
    std::string refusal;
    const bool admitted = policy.admitsHandshake(origin, draft, refusal);
    EXPECT_EQ(refusal.empty(), admitted) << "a refusal has a log line, an admission none";
    return admitted;
}

TEST(Policy, HandshakesUnderEachKindOfPolicy) {
    const Policy none;
    EXPECT_TRUE(admits(none, "https://anything.example"));
    EXPECT_TRUE(admits(none, ""));
    EXPECT_FALSE(none.restrictsModules());

    const Policy listed = parsed(R"({"AllowedOrigins": ["https://app.example.com"]})");
    EXPECT_TRUE(admits(listed, "https://app.example.com"));
    EXPECT_FALSE(admits(listed, "https://other.example.com"));
    EXPECT_FALSE(admits(listed, "null"));
    EXPECT_TRUE(admits(listed, "")) << "no Origin header is allowed unless the policy says no";
    // Protocol drafts 7 and 8 send the origin in Sec-WebSocket-Origin.
    EXPECT_FALSE(admits(listed, "", "https://other.example.com"));
    EXPECT_TRUE(admits(listed, "", "https://app.example.com"));
    EXPECT_FALSE(listed.restrictsModules());

    const Policy closed =
        parsed(R"({"AllowedOrigins": [], "AllowConnectionsWithoutOrigin": false})");
    EXPECT_FALSE(admits(closed, "https://app.example.com"));
    EXPECT_FALSE(admits(closed, ""));

    const Policy onlyLocal = parsed(R"({"AllowConnectionsWithoutOrigin": false})");
    EXPECT_TRUE(admits(onlyLocal, "https://any.example"));
    EXPECT_FALSE(admits(onlyLocal, ""));

    EXPECT_FALSE(none.allowsOtherUsers());
    EXPECT_FALSE(listed.allowsOtherUsers());
    EXPECT_TRUE(parsed(R"({"AllowOtherUsers": true})").allowsOtherUsers());
    EXPECT_FALSE(parsed(R"({"AllowOtherUsers": false})").allowsOtherUsers());

    const Policy broken = Policy::broken("unreadable");
    EXPECT_FALSE(broken.allowsOtherUsers());
    EXPECT_FALSE(admits(broken, "https://app.example.com"));
    EXPECT_FALSE(admits(broken, ""));
    EXPECT_TRUE(broken.restrictsModules());
    EXPECT_FALSE(broken.admitsModule("/anything"));
}

TEST(Policy, RefusalLinesCannotForgeLogLines) {
    const Policy listed = parsed(R"({"AllowedOrigins": ["https://app.example.com"]})");
    std::string refusal;
    EXPECT_FALSE(listed.admitsHandshake("https://x\r\n[error] forged", "", refusal));
    EXPECT_EQ(refusal.find('\n'), std::string::npos) << refusal;
    EXPECT_NE(refusal.find("AllowedOrigins"), std::string::npos) << refusal;
}

TEST(Policy, WeakeningSettingsAreWarnedAbout) {
    EXPECT_TRUE(parsed(R"({"AllowedOrigins": ["https://a.example"]})").warnings().empty());
    EXPECT_EQ(parsed(R"({"AllowedOrigins": ["null"]})").warnings().size(), 1u);
    EXPECT_EQ(parsed(R"({"AllowOtherUsers": true})").warnings().size(), 1u);
    EXPECT_TRUE(parsed(R"({"AllowOtherUsers": false})").warnings().empty());
}

TEST(Policy, AnythingButTheKnownSettingsIsAnError) {
    const struct {
        const char* json;
        const char* problem;
    } cases[] = {
        {"", "not valid JSON"},
        {"{\"AllowedOrigins\": []} x", "not valid JSON"},
        {"{\n\"AllowedOrigins\": [,]}", "line 2"},
        {"[]", "one JSON object"},
        {"{\"AllowedOrigin\": []}", "unknown setting \"AllowedOrigin\""},
        {"{\"AllowedOrigins\": [], \"AllowedOrigins\": []}", "twice"},
        {"{\"AllowedOrigins\": \"https://a.example\"}", "list of texts"},
        {"{\"AllowedOrigins\": [1]}", "texts only"},
        {"{\"AllowedOrigins\": [\"example.com\"]}", "scheme://"},
        {"{\"AllowedOrigins\": [\"https://a.example/app\"]}", "path"},
        {"{\"AllowConnectionsWithoutOrigin\": 1}", "true or false"},
        {"{\"AllowConnectionsWithoutOrigin\": \"false\"}", "true or false"},
        {"{\"AllowOtherUsers\": 1}", "AllowOtherUsers\" must be true or false"},
        {"{\"AllowedModuleFolders\": [\"modules\"]}", "AllowedModuleFolders"},
        {"{\"AllowedModuleFolders\": {}}", "list of texts"},
        {"{\"IsolateModules\": 1}", "true or false"},
        {"{\"IsolateModules\": null}", "true or false"},
    };
    for (const auto& c : cases) {
        Policy policy;
        std::string problem;
        EXPECT_FALSE(Policy::parse(c.json, policy, problem)) << c.json;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.json << " -> " << problem;
        EXPECT_EQ(policy.kind(), Policy::kNone) << "a failed parse leaves the policy untouched";
    }
}

// ---- Module locations -------------------------------------------------------------------------

#if defined(_WIN32)
const unsigned long kDenied = ERROR_ACCESS_DENIED;
const unsigned long kNotFound = ERROR_MOD_NOT_FOUND;
const char kSep = '\\';
const std::string kExt = ".dll";
#else
const unsigned long kDenied = EACCES;
const unsigned long kNotFound = ENOENT;
const char kSep = '/';
const std::string kExt = ".so";
#endif

std::string nativePath(std::string path) {
    for (char& c : path) {
        if (c == '/' || c == '\\') {
            c = kSep;
        }
    }
    return path;
}

std::string jsonText(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
    ASSERT_TRUE(in.good() && out.good()) << from << " -> " << to;
}

// A scratch tree: allowed/ (the policy's folder) with a module and a link out, outside/ with a
// module, and allowed2/, whose name starts like the allowed folder's.
class ModuleFolders : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(_WIN32)
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        std::wstring base = std::wstring(temp) + L"ravelink-policy-" +
                            std::to_wstring(GetCurrentProcessId()) + L"-long-folder-name";
        CreateDirectoryW(base.c_str(), nullptr);
        root = std::string(base.begin(), base.end());  // the temp path is ASCII under the test run
#else
        char pattern[] = "/tmp/ravelink-policy-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
#endif
        for (const char* folder : {"allowed-modules", "allowed-modules2", "outside"}) {
            makeFolder(root + kSep + folder);
        }
        const std::string echo = nativePath(RAVELINK_TEST_PLUGIN_DIR "/echo_plugin") + kExt;
        copyFile(echo, at("allowed-modules/echo" + kExt));
        copyFile(echo, at("allowed-modules2/echo" + kExt));
        copyFile(echo, at("outside/echo" + kExt));
        makeFolder(at("allowed-modules/sub"));
#if !defined(_WIN32)
        ASSERT_EQ(symlink(at("outside/echo.so").c_str(), at("allowed-modules/out.so").c_str()), 0);
        ASSERT_EQ(symlink(at("allowed-modules").c_str(), at("outside/in").c_str()), 0);
#endif
    }

    // Removes exactly what SetUp made, innermost first.
    void TearDown() override {
        std::vector<std::string> entries = {"allowed-modules/echo" + kExt,
                                            "allowed-modules2/echo" + kExt, "outside/echo" + kExt};
#if !defined(_WIN32)
        entries.insert(entries.end(), {"allowed-modules/out.so", "outside/in"});
#endif
        for (const std::string& entry : entries) {
            EXPECT_EQ(std::remove(at(entry).c_str()), 0) << entry;
        }
        for (const char* folder :
             {"allowed-modules/sub", "allowed-modules", "allowed-modules2", "outside", ""}) {
#if defined(_WIN32)
            EXPECT_TRUE(RemoveDirectoryA(at(folder).c_str())) << folder;
#else
            EXPECT_EQ(rmdir(at(folder).c_str()), 0) << folder;
#endif
        }
    }

    static void makeFolder(const std::string& path) {
#if defined(_WIN32)
        ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
#else
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
#endif
    }

    std::string at(const std::string& relative) const {
        return nativePath(root + "/" + relative);
    }

    Policy allowing(const std::vector<std::string>& folders) const {
        std::string json = "{\"AllowedModuleFolders\": [";
        for (std::size_t i = 0; i < folders.size(); ++i) {
            json += (i == 0 ? "" : ", ") + jsonText(folders[i]);
        }
        return parsed(json + "]}");
    }

    // 0 when the module loads and answers, otherwise the load's error code.
    static unsigned long load(const Policy& policy, const std::string& name) {
        unsigned long error = 0;
        std::string location;
        std::unique_ptr<DynamicLibrary> library = DynamicLibrary::load(
            name, [&policy](const std::string& key) { return policy.admitsModule(key); }, error,
            location);
        if (!library) {
            EXPECT_NE(error, 0u) << name;
            return error;
        }
        EXPECT_NE(library->findInvoke(), nullptr) << name;
        return 0;
    }

    std::string root;
};

struct PathCase {
    std::string name;
    unsigned long expected;  // 0: loads
};

TEST_F(ModuleFolders, OnlyModulesReallyInsideAnAllowedFolderLoad) {
    const Policy policy = allowing({at("allowed-modules")});
    std::vector<PathCase> cases = {
        {at("allowed-modules/echo" + kExt), 0},
        {at("allowed-modules/./sub/../echo" + kExt), 0},
        {at("outside/echo" + kExt), kDenied},
        {at("allowed-modules/../outside/echo" + kExt), kDenied},
        {at("allowed-modules/sub/../../outside/echo" + kExt), kDenied},
        {at("allowed-modules2/echo" + kExt), kDenied},  // a folder boundary, not a text prefix
        {at("allowed-modules/missing" + kExt), kNotFound},
        {at("outside/missing" + kExt), kDenied},  // no probing for files elsewhere
        {at("no-such-folder/missing" + kExt), kDenied},
        {"echo" + kExt, kDenied},  // a bare name means beside the program, not listed here
        {"", kNotFound},
    };
#if defined(_WIN32)
    std::string upper = at("allowed-modules/echo.dll");
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    char shortName[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(at("allowed-modules/echo.dll").c_str(), shortName, MAX_PATH), 0u);
    ASSERT_EQ(std::string(shortName).find("long-folder-name"), std::string::npos) << shortName;
    char outsideShort[MAX_PATH] = {};
    ASSERT_NE(GetShortPathNameA(at("outside/echo.dll").c_str(), outsideShort, MAX_PATH), 0u);
    const std::vector<PathCase> windows = {
        {upper, 0},
        {shortName, 0},
        {outsideShort, kDenied},
        {"\\\\?\\" + at("allowed-modules/echo.dll"), 0},
        {"\\\\?\\" + at("outside/echo.dll"), kDenied},
        {"\\\\?\\" + at("allowed-modules/../outside/echo.dll"), kDenied},
        {root + "/allowed-modules/echo.dll", 0},  // forward slashes
        {at("allowed-modules/echo"), 0},          // ".dll" is added as LoadLibraryW adds it
        {at("allowed-modules/sub."), kDenied},    // a folder ("." keeps ".dll" off) is no module
        {at("allowed-modules/sub"), kNotFound},   // sub.dll
    };
#else
    const std::vector<PathCase> windows;
    cases.push_back({at("allowed-modules/out.so"), kDenied});  // a link inside, pointing out
    cases.push_back({at("outside/in/echo.so"), 0});            // a link outside, pointing in
    cases.push_back({at("allowed-modules/sub"), kDenied});     // a folder is no regular file
    cases.push_back({"/dev/null", kDenied});
#endif
    cases.insert(cases.end(), windows.begin(), windows.end());
    for (const PathCase& c : cases) {
        EXPECT_EQ(load(policy, c.name), c.expected) << c.name;
    }
}

TEST_F(ModuleFolders, ListedFoldersAreResolvedToo) {
#if defined(_WIN32)
    const std::string viaDots = at("outside/../allowed-modules");
#else
    const std::string viaDots = at("outside/in");  // a link to the allowed folder
#endif
    EXPECT_EQ(load(allowing({viaDots}), at("allowed-modules/echo" + kExt)), 0u);
    EXPECT_EQ(load(allowing({viaDots}), at("outside/echo" + kExt)), kDenied);
    // No folders listed: no load at all.
    EXPECT_EQ(load(allowing({}), at("allowed-modules/echo" + kExt)), kDenied);
    EXPECT_EQ(load(Policy::broken("unreadable"), at("allowed-modules/echo" + kExt)), kDenied);
}

TEST_F(ModuleFolders, EachCheckedLoadIsTheFileThatWasChecked) {
    // Loads made one after another while the earlier ones stay loaded: each must be its own file,
    // however the platform names what it loaded (on Linux a descriptor path, whose number recurs).
    const Policy policy = allowing({nativePath(RAVELINK_TEST_PLUGIN_DIR)});
    auto admit = [&policy](const std::string& key) { return policy.admitsModule(key); };
    std::vector<std::unique_ptr<DynamicLibrary>> held;
    for (const char* name : {"recorder_a", "recorder_b", "recorder_a", "recorder_b"}) {
        unsigned long error = 0;
        std::string location;
        held.push_back(DynamicLibrary::load(nativePath(RAVELINK_TEST_PLUGIN_DIR "/") + name + kExt,
                                            admit, error, location));
        ASSERT_NE(held.back(), nullptr) << name << ": " << error;
        InvokeFunc invoke = held.back()->findInvoke();
        ASSERT_NE(invoke, nullptr) << name;
        char* answer = nullptr;
        ASSERT_EQ(invoke("who", "", &answer), 0);
        ASSERT_NE(answer, nullptr);
        EXPECT_STREQ(answer, name);
        DynamicLibrary::freeAnswer(answer);
    }
}

TEST(ModuleFoldersBesideTheProgram, BareNameIsTheFileBesideTheProgram) {
    // beside_plugin is built next to this test program.
#if defined(_WIN32)
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string folder(program);
    const std::string bare = "beside_plugin";  // ".dll" is added
#else
    char program[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 0);
    std::string folder(program);
    const std::string bare = "beside_plugin.so";
#endif
    folder.resize(folder.find_last_of("/\\"));
    const Policy beside = parsed("{\"AllowedModuleFolders\": [" + jsonText(folder) + "]}");
    unsigned long error = 1;
    std::string location;
    auto admit = [&beside](const std::string& key) { return beside.admitsModule(key); };
    EXPECT_NE(DynamicLibrary::load(bare, admit, error, location), nullptr) << error;
    EXPECT_NE(location.find("beside_plugin"), std::string::npos) << location;
    EXPECT_EQ(DynamicLibrary::load("no_such_plugin" + kExt, admit, error, location), nullptr);
    EXPECT_EQ(error, kNotFound);
}

}  // namespace
