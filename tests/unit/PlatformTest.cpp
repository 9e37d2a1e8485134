// The platform layer: loading plug-ins, finding "Invoke", the error codes of failed loads, answer
// blocks going back to the heap they came from, UTF-8 handling, the single-instance lock and the
// owner decision for a loopback peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "TestPlugins.h"
#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/LoopbackPeerOwner.h"
#include "platform/ProcessResources.h"
#include "platform/Utf8.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#endif

using platform::DynamicLibrary;
using platform::Utf8;
using testplugins::kExtension;
using testplugins::kSeparator;
using testplugins::pluginPath;

namespace {

#if defined(_WIN32)
const unsigned long kNotFound = 126;     // ERROR_MOD_NOT_FOUND
const unsigned long kBadUnicode = 1113;  // ERROR_NO_UNICODE_TRANSLATION
const unsigned long kAccessDenied = 5;   // ERROR_ACCESS_DENIED
#else
const unsigned long kNotFound = ENOENT;
const unsigned long kBadUnicode = EILSEQ;
#endif

// Whether `block` belongs to the heap that answers are freed into.
bool fromAnswerHeap(const char* block, std::size_t atLeast) {
#if defined(_WIN32)
    const SIZE_T size = HeapSize(GetProcessHeap(), 0, block);
    return size != static_cast<SIZE_T>(-1) && size >= atLeast;
#else
    return malloc_usable_size(const_cast<char*>(block)) >= atLeast;
#endif
}

}  // namespace

TEST(DynamicLibrary, LoadsAPluginAndCallsInvoke) {
    unsigned long error = 1;
    std::unique_ptr<DynamicLibrary> library =
        DynamicLibrary::load(pluginPath("echo_plugin"), error);
    ASSERT_NE(library, nullptr) << "error " << error;
    EXPECT_EQ(error, 0u);
    InvokeFunc invoke = library->findInvoke();
    ASSERT_NE(invoke, nullptr);

    char* answer = nullptr;
    EXPECT_EQ(invoke("echo", "h\xC3\xA9llo", &answer), 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STREQ(answer, "h\xC3\xA9llo");
    EXPECT_TRUE(fromAnswerHeap(answer, 7));
    DynamicLibrary::freeAnswer(answer);

    answer = nullptr;
    EXPECT_NE(invoke("failQuiet", "{}", &answer), 0);
    EXPECT_EQ(answer, nullptr);
    DynamicLibrary::freeAnswer(nullptr);  // harmless
}

TEST(DynamicLibrary, AnswersOfAnyHelperGoBackToTheRightHeap) {
    for (const char* text :
         {"", "x", "a longer answer of a few dozen bytes, to leave small bins"}) {
        char* block = ravelink_copy_answer(text);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(fromAnswerHeap(block, std::strlen(text) + 1));
        DynamicLibrary::freeAnswer(block);
    }
#if defined(_WIN32)
    EXPECT_TRUE(HeapValidate(GetProcessHeap(), 0, nullptr));
#endif
}

TEST(DynamicLibrary, MissingFileReportsThePlatformsNotFoundCode) {
    unsigned long error = 0;
    EXPECT_EQ(DynamicLibrary::load(pluginPath("no_such_plugin"), error), nullptr);
    EXPECT_EQ(error, kNotFound);
    error = 0;
    EXPECT_EQ(DynamicLibrary::load("no_such_plugin_anywhere" + kExtension, error), nullptr);
    EXPECT_EQ(error, kNotFound);
    error = 0;
    EXPECT_EQ(DynamicLibrary::load("", error), nullptr);
    EXPECT_NE(error, 0u);
}

TEST(DynamicLibrary, FileThatIsNoLibraryFailsWithANonZeroCode) {
    unsigned long error = 0;
    // A directory, and a source file, are not libraries.
    EXPECT_EQ(DynamicLibrary::load(RAVELINK_TEST_PLUGIN_DIR, error), nullptr);
    EXPECT_NE(error, 0u);
}

TEST(DynamicLibrary, IllFormedUtf8NameIsAFailedLoadNotAnException) {
    for (const std::string& name :
         {std::string("\xFF.so"), std::string("a\xC0\xAF"), pluginPath("echo_plugin") + "\x80"}) {
        unsigned long error = 0;
        EXPECT_EQ(DynamicLibrary::load(name, error), nullptr);
        EXPECT_EQ(error, kBadUnicode);
    }
}

TEST(DynamicLibrary, LibraryWithoutInvokeHasNoEntry) {
    for (const char* name : {"noinvoke_plugin", "lowercase_plugin"}) {
        unsigned long error = 0;
        std::unique_ptr<DynamicLibrary> library = DynamicLibrary::load(pluginPath(name), error);
        ASSERT_NE(library, nullptr) << name;
        EXPECT_EQ(library->findInvoke(), nullptr) << name;
    }
}

TEST(DynamicLibrary, EachLoadIsReleasedOnItsOwn) {
    unsigned long error = 0;
    auto first = DynamicLibrary::load(pluginPath("echo_plugin"), error);
    auto second = DynamicLibrary::load(pluginPath("echo_plugin"), error);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    InvokeFunc invoke = second->findInvoke();
    char* answer = nullptr;
    invoke("calls", "", &answer);
    DynamicLibrary::freeAnswer(answer);
    first.reset();
    // Still mapped: the second load holds it, and its state survives the first release.
    answer = nullptr;
    ASSERT_EQ(invoke("calls", "", &answer), 0);
    ASSERT_NE(answer, nullptr);
    EXPECT_STRNE(answer, "1") << "the image was unloaded and mapped again";
    DynamicLibrary::freeAnswer(answer);
}

TEST(DynamicLibrary, APluginByAbsolutePathFindsTheLibrariesBesideIt) {
    const std::string path = pluginPath(std::string("deps") + kSeparator + "dep_plugin");
    std::vector<std::string> names = {path};
#if defined(_WIN32)
    std::string forward = path;
    std::replace(forward.begin(), forward.end(), '\\', '/');
    names.push_back(forward);
    names.push_back("\\\\?\\" + path);
#endif
    for (const std::string& name : names) {
        unsigned long error = 0;
        std::unique_ptr<DynamicLibrary> library = DynamicLibrary::load(name, error);
        ASSERT_NE(library, nullptr) << name << ": error " << error;
        char* answer = nullptr;
        ASSERT_EQ(library->findInvoke()("greet", "{}", &answer), 0) << name;
        ASSERT_NE(answer, nullptr);
        EXPECT_STREQ(answer, "hello from the library beside the plug-in");
        DynamicLibrary::freeAnswer(answer);
    }
}

// Each load by path is of the file named, also after other loads were released.
TEST(DynamicLibrary, LibrariesLoadedByPathStayApartAcrossReleases) {
    auto who = [](const DynamicLibrary& library) {
        char* answer = nullptr;
        library.findInvoke()("who", "", &answer);
        std::string text = answer != nullptr ? answer : "";
        DynamicLibrary::freeAnswer(answer);
        return text;
    };
    unsigned long error = 0;
    auto a = DynamicLibrary::load(pluginPath("recorder_a"), error);
    ASSERT_NE(a, nullptr) << error;
    auto b = DynamicLibrary::load(pluginPath("recorder_b"), error);
    ASSERT_NE(b, nullptr) << error;
    EXPECT_EQ(who(*a), "recorder_a");
    EXPECT_EQ(who(*b), "recorder_b");
    a.reset();
    auto again = DynamicLibrary::load(pluginPath("recorder_b"), error);
    ASSERT_NE(again, nullptr) << error;
    EXPECT_EQ(who(*again), "recorder_b");
    b.reset();
    auto other = DynamicLibrary::load(pluginPath("recorder_a"), error);
    ASSERT_NE(other, nullptr) << error;
    EXPECT_EQ(who(*other), "recorder_a");
    EXPECT_EQ(who(*again), "recorder_b");
}

#if !defined(_WIN32)
TEST(ProcessResources, RaisesTheSoftDescriptorLimitToTheHardOne) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GT(saved.rlim_max, 64u);
    rlimit lowered = saved;
    lowered.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    platform::ProcessResources::raiseDescriptorLimit();
    rlimit raised{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
    setrlimit(RLIMIT_NOFILE, &saved);
}
#endif

#if defined(_WIN32)
TEST(DynamicLibrary, StdcallDecoratedExportIsNotInvoke) {
#if defined(_WIN64)
    GTEST_SKIP() << "__stdcall name decoration (Invoke@12) exists in 32-bit Windows code only";
#endif
    unsigned long error = 0;
    std::unique_ptr<DynamicLibrary> library =
        DynamicLibrary::load(pluginPath("stdcall_plugin"), error);
    ASSERT_NE(library, nullptr) << error;
    EXPECT_NE(GetProcAddress(GetModuleHandleA("stdcall_plugin.dll"), "Invoke@12"), nullptr);
    EXPECT_EQ(library->findInvoke(), nullptr);
}

TEST(DynamicLibrary, NetworkAndDevicePathsNeverReachTheLoader) {
    for (const char* name :
         {"\\\\server\\share\\x.dll", "//server/share/x.dll", "\\/server\\x.dll", "/\\server/x.dll",
          "\\\\?\\UNC\\server\\share\\x.dll", "\\\\.\\pipe\\x", "\\\\?\\GLOBALROOT\\x.dll",
          "\\??\\UNC\\server\\share\\x.dll", "\\\\127.0.0.1\\c$\\x.dll"}) {
        unsigned long error = 0;
        EXPECT_EQ(DynamicLibrary::load(name, error), nullptr) << name;
        EXPECT_EQ(error, kAccessDenied) << name;
    }
}

TEST(DynamicLibrary, LocalLongFormPathsStillLoad) {
    unsigned long error = 0;
    EXPECT_NE(DynamicLibrary::load("\\\\?\\" + pluginPath("echo_plugin"), error), nullptr) << error;
    // Missing local files in long form fail as missing, not as refused.
    EXPECT_EQ(DynamicLibrary::load("\\\\?\\Z:\\no\\such\\x.dll", error), nullptr);
    EXPECT_NE(error, kAccessDenied);
    // A single leading separator is a path on the current drive.
    EXPECT_EQ(DynamicLibrary::load("\\no\\such\\x.dll", error), nullptr);
    EXPECT_EQ(error, kNotFound);
}
#endif

// Strict UTF-8: each maximal ill-formed subpart (overlong forms, surrogates, values above U+10FFFF,
// stray and missing continuation bytes) becomes one U+FFFD. Both the check and the replacement must
// find it at every offset of the eight-byte words that ASCII runs are scanned in, and at the end.
TEST(Utf8, ValidatesAndReplacesEachMaximalBadPartAtAnyOffset) {
    const std::string r = "\xEF\xBF\xBD";
    const struct {
        std::string bad;
        std::string replaced;
    } cases[] = {
        {"\x80", r},
        {"\xFF", r},
        {"\xC3", r},
        {"\xC0\xAF", r + r},
        {"\xC1\xBF", r + r},
        {"\xE0\x80\xAF", r + r + r},
        {"\xE0\x9F\xBF", r + r + r},
        {"\xE2\x82", r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF0\x8F\xBF\xBF", r + r + r + r},
        {"\xF0\x9F\x98", r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xF5\x80", r + r},
        {"\xE2\x82\xE2\x82\xAC", r + "\xE2\x82\xAC"},
        {std::string("\0\xFF", 2), std::string("\0", 1) + r},
    };
    for (const std::string tail : {"", "zzzzzzzzzzzzzzzzzzzzzzzz"}) {
        for (std::size_t at = 0; at <= 16; ++at) {
            const std::string head(at, 'a');
            for (const auto& c : cases) {
                std::string text = head + c.bad + tail;
                EXPECT_FALSE(Utf8::isValid(text)) << "at " << at;
                Utf8::sanitize(text);
                EXPECT_EQ(text, head + c.replaced + tail) << "at " << at;
            }
            // Well-formed characters, the highest of each length included, are left alone.
            for (const std::string good : {"\x7F", "\xC3\xA9", "\xE2\x82\xAC", "\xEF\xBF\xBF",
                                           "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
                std::string text = head + good + tail;
                EXPECT_TRUE(Utf8::isValid(text)) << "at " << at;
                Utf8::sanitize(text);
                EXPECT_EQ(text, head + good + tail);
            }
        }
    }
}

TEST(Utf8, ConvertsToUtf16WithSurrogatePairs) {
    std::u16string out;
    ASSERT_TRUE(Utf8::toUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_FALSE(Utf8::toUtf16("\xED\xB0\x80", out));
}

TEST(InstanceLock, OneClaimPerUserAndSession) {
    auto first = std::make_unique<platform::InstanceLock>();
    ASSERT_FALSE(first->anotherCopyRuns()) << "is a ravelink already running here?";
    {
        platform::InstanceLock second;
        EXPECT_TRUE(second.anotherCopyRuns());
    }
    first.reset();
    first = std::make_unique<platform::InstanceLock>();
    EXPECT_FALSE(first->anotherCopyRuns());
#if !defined(_WIN32)
    // Another user's copy runs beside this one. A child process switches to "nobody" and reports
    // through its exit status whether its claim was free while this process holds its own.
    if (getuid() != 0) {
        GTEST_SKIP() << "needs root to make a claim as another user";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        platform::InstanceLock other;
        _exit(other.anotherCopyRuns() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: the other user found this user's claim; 2: could not switch user";

    // Another account squats this user's name before this user's copy starts: the copy must not
    // take that for itself running (it would exit 1 and never come back).
    first.reset();
    int ready[2];
    int done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const uid_t victim = getuid();
    const pid_t squatter = fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        const std::string name = std::string(1, '\0') +
                                 "ravelink-{DCB498CC-37CF-47c0-9EDD-2B0B054FBB83}-" +
                                 std::to_string(static_cast<unsigned long>(victim));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        close(done[1]);  // so that the parent's close ends the read below
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        char byte = 0;
        if (setgid(65534) != 0 || setuid(65534) != 0 ||
            bind(fd, reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) != 0 ||
            listen(fd, 8) != 0 || write(ready[1], "x", 1) != 1) {
            _exit(2);
        }
        _exit(read(done[0], &byte, 1) >= 0 ? 0 : 2);
    }
    close(ready[1]);
    close(done[0]);
    char byte = 0;
    const bool squatting = read(ready[0], &byte, 1) == 1;
    if (squatting) {
        platform::InstanceLock mine;
        EXPECT_FALSE(mine.anotherCopyRuns()) << "another account's claim stopped this user's copy";
    }
    close(done[1]);
    close(ready[0]);
    ASSERT_EQ(waitpid(squatter, &status, 0), squatter);
    EXPECT_TRUE(squatting && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the other account could not claim the name";
#endif
}

// What Linux reports about the peer's socket, decided the same way on every target. The suites run
// the program as root, so only this table can show that root's sockets are another user's.
TEST(LoopbackPeerOwner, DecidesFromTheKernelsAnswerAboutThePeerSocket) {
    using Owner = platform::LoopbackPeerOwner;
    const unsigned established = 1;  // TCP_ESTABLISHED
    const struct {
        const char* what;
        bool answered;
        unsigned state;
        unsigned long inode;
        unsigned long uid;
        unsigned long ownUid;
        Owner::Verdict verdict;
        const char* user;
    } cases[] = {
        // one case per line
        // clang-format off
        {"same user", true, established, 42, 1000, 1000, Owner::kSameUser, "uid 1000"},
        {"another user", true, established, 42, 1001, 1000, Owner::kOtherUser, "uid 1001"},
        {"root, to a user's copy", true, established, 42, 0, 1000, Owner::kOtherUser, "uid 0"},
        {"a user, to root's copy", true, established, 42, 1000, 0, Owner::kOtherUser, "uid 1000"},
        {"root, to root's copy", true, established, 42, 0, 0, Owner::kSameUser, "uid 0"},
        {"no answer", false, 0, 0, 1000, 1000, Owner::kUnknown, ""},
        {"a listener of the same user", true, Owner::kTcpListen, 42, 1000, 1000, Owner::kUnknown, ""},
        {"only lingering", true, Owner::kTcpTimeWait, 42, 1000, 1000, Owner::kUnknown, ""},
        {"held by no process", true, established, 0, 1000, 1000, Owner::kUnknown, ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        Owner::LinuxFacts facts;
        facts.answered = c.answered;
        facts.failure = c.answered ? "" : "the system knows no socket at the other end";
        facts.state = c.state;
        facts.inode = c.inode;
        facts.uid = c.uid;
        facts.ownUid = c.ownUid;
        const Owner::Finding finding = Owner::decide(facts);
        EXPECT_EQ(finding.verdict, c.verdict) << c.what;
        EXPECT_EQ(finding.user, c.user) << c.what;
        EXPECT_EQ(finding.processId, -1) << c.what;
        if (c.verdict == Owner::kUnknown) {
            EXPECT_FALSE(finding.detail.empty()) << c.what << ": a refusal says what failed";
        }
    }
}

// What Windows reports about a connection, decided the same way on every target. This program's
// side is 127.0.0.1:7321 <- 127.0.0.1:50000; the table also holds this program's own row, which
// must never be taken for the peer's.
TEST(LoopbackPeerOwner, DecidesFromTheTableTheOwnersTokenAndSession) {
    using Owner = platform::LoopbackPeerOwner;
    const std::uint32_t loopback = 0x7f000001;
    Owner::Connection connection;
    connection.localAddress = loopback;
    connection.localPort = 7321;
    connection.remoteAddress = loopback;
    connection.remotePort = 50000;
    const auto row = [&](std::uint16_t localPort, std::uint16_t remotePort, unsigned long pid,
                         bool established = true) {
        Owner::TcpRow r;
        r.localAddress = loopback;
        r.localPort = localPort;
        r.remoteAddress = loopback;
        r.remotePort = remotePort;
        r.ownerProcessId = pid;
        r.established = established;
        return r;
    };
    const Owner::TcpRow ours = row(7321, 50000, 100);
    const Owner::TcpRow peer = row(50000, 7321, 200);
    const std::string me = "S-1-5-21-1-2-3-1001";
    const std::string other = "S-1-5-21-1-2-3-1002";
    const struct {
        const char* what;
        bool tableRead;
        std::vector<Owner::TcpRow> rows;
        bool opened;
        bool tokenRead;
        std::string user;
        unsigned long session;
        Owner::Verdict verdict;
        long long processId;
    } cases[] = {
        // one case per line
        // clang-format off
        {"same user, same session", true, {ours, peer}, true, true, me, 1, Owner::kSameUser, 200},
        {"another user", true, {peer, ours}, true, true, other, 1, Owner::kOtherUser, 200},
        {"same user, other session", true, {ours, peer}, true, true, me, 2, Owner::kOtherSession, 200},
        {"process cannot be opened", true, {ours, peer}, false, false, "", 0, Owner::kUnknown, 200},
        {"token cannot be read", true, {ours, peer}, true, false, "", 0, Owner::kUnknown, 200},
        {"owners not recorded", true, {ours, row(50000, 7321, 0)}, false, false, "", 0, Owner::kNotRecorded, -1},
        {"only our own row", true, {ours}, true, true, me, 1, Owner::kUnknown, -1},
        {"a row of another port", true, {ours, row(50001, 7321, 200)}, true, true, me, 1, Owner::kUnknown, -1},
        {"peer socket closing", true, {ours, row(50000, 7321, 200, false)}, true, true, me, 1, Owner::kUnknown, -1},
        {"table unreadable", false, {}, false, false, "", 0, Owner::kUnknown, -1},
        // clang-format on
    };
    for (const auto& c : cases) {
        Owner::WindowsFacts facts;
        facts.tableRead = c.tableRead;
        facts.rows = c.rows;
        facts.processOpened = c.opened;
        facts.tokenRead = c.tokenRead;
        facts.processUser = c.user;
        facts.processSession = c.session;
        facts.ownUser = me;
        facts.ownSession = 1;
        const Owner::Finding finding = Owner::decide(connection, facts);
        EXPECT_EQ(finding.verdict, c.verdict) << c.what;
        EXPECT_EQ(finding.processId, c.processId) << c.what;
        if (c.verdict == Owner::kOtherUser) {
            EXPECT_EQ(finding.user, other) << c.what;
        }
        if (c.verdict == Owner::kUnknown) {
            EXPECT_FALSE(finding.detail.empty()) << c.what << ": a refusal says what failed";
        }
    }
}
