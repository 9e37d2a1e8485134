// The platform layer: loading plug-ins, finding "Invoke", the error codes of failed loads, answer
// blocks going back to the heap they came from, UTF-8 handling and the single-instance lock.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/DynamicLibrary.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessResources.h"
#include "platform/Utf8.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <malloc.h>
#include <sys/resource.h>
#include <cerrno>
#endif

using platform::DynamicLibrary;
using platform::Utf8;

namespace {

#if defined(_WIN32)
const std::string kExtension = ".dll";
const char kSeparator = '\\';
const unsigned long kNotFound = 126;     // ERROR_MOD_NOT_FOUND
const unsigned long kBadUnicode = 1113;  // ERROR_NO_UNICODE_TRANSLATION
const unsigned long kAccessDenied = 5;   // ERROR_ACCESS_DENIED
#else
const std::string kExtension = ".so";
const char kSeparator = '/';
const unsigned long kNotFound = ENOENT;
const unsigned long kBadUnicode = EILSEQ;
#endif

std::string pluginPath(const std::string& name) {
    std::string dir = RAVELINK_TEST_PLUGIN_DIR;
    for (char& c : dir) {
        if (c == '/')
            c = kSeparator;
    }
    return dir + kSeparator + name + kExtension;
}

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

// On Linux a library loaded by path is known to the loader by its descriptor's name; a name that
// a released load left behind must never bring back the wrong library.
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

TEST(Utf8, ValidatesStrictly) {
    EXPECT_TRUE(Utf8::isValid(""));
    EXPECT_TRUE(Utf8::isValid("plain ASCII \x7F"));
    EXPECT_TRUE(
        Utf8::isValid("\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF \xEF\xBF\xBF"));
    for (const char* bad :
         {"\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xC3", "\xE2\x82", "abc\xF0\x9F\x98"}) {
        EXPECT_FALSE(Utf8::isValid(bad)) << bad;
    }
}

TEST(Utf8, SanitizeReplacesEachMaximalBadPart) {
    std::string text = "ok \xE2\x82\xAC";
    Utf8::sanitize(text);
    EXPECT_EQ(text, "ok \xE2\x82\xAC");
    text =
        "\xE2\x82"
        "A"
        "\xF0\x9F\x98"
        "B"
        "\xC3";
    Utf8::sanitize(text);
    EXPECT_EQ(text,
              "\xEF\xBF\xBD"
              "A"
              "\xEF\xBF\xBD"
              "B"
              "\xEF\xBF\xBD");
    text = std::string("\0\xFF", 2);
    Utf8::sanitize(text);
    EXPECT_EQ(text, std::string("\0\xEF\xBF\xBD", 4));
}

TEST(Utf8, ConvertsToUtf16WithSurrogatePairs) {
    std::u16string out;
    ASSERT_TRUE(Utf8::toUtf16("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", out));
    EXPECT_EQ(out, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_FALSE(Utf8::toUtf16("\xED\xB0\x80", out));
}

TEST(InstanceLock, SecondClaimInTheSameSessionSeesTheFirst) {
    auto first = std::make_unique<platform::InstanceLock>();
    ASSERT_FALSE(first->anotherCopyRuns()) << "is a ravelink already running here?";
    {
        platform::InstanceLock second;
        EXPECT_TRUE(second.anotherCopyRuns());
    }
    first.reset();
    platform::InstanceLock third;
    EXPECT_FALSE(third.anotherCopyRuns());
}
