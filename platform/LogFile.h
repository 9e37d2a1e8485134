#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// A file that log lines are appended to. Each append is one write to the operating system, so a
// line is on disk (in the system's cache) when append returns, even if the process dies next.
// Other processes may read, append to, rename and delete the file while it is open.
class LogFile {
  public:
    // Opens `path` (UTF-8) for appending, creating it when missing; null when it cannot be.
    static std::unique_ptr<LogFile> open(const std::string& path);
    // Renames `from` to `to`, replacing `to`; false when that failed.
    static bool replace(const std::string& from, const std::string& to);
    // Empties the file at `path` in place (it stays the same file, so whoever holds it open keeps
    // it); false when that failed.
    static bool empty(const std::string& path);
    // The folder, ending in a separator, where the program keeps its own log when nobody can read
    // its standard streams: "<local application data>\ravelink\logs\" on Windows, created when
    // missing. Empty where the platform keeps none: on Linux the user unit's streams go to the
    // journal, and a copy started by hand writes where its starter chose.
    static std::string folder();

    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Bytes in the file when it was opened.
    std::uint64_t initialSize() const { return sizeAtOpen; }
    bool append(const char* data, std::size_t size);

  private:
    LogFile(long long handle, std::uint64_t size) : handle(handle), sizeAtOpen(size) {}

    long long handle;  // a HANDLE or a file descriptor, owned
    std::uint64_t sizeAtOpen;
};

}  // namespace platform
