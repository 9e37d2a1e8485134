#pragma once

#include <memory>
#include <string>

#include "ravelink/ravelink_plugin.h"

namespace platform {

// One load of a plug-in library. The platform counts loads; destroying this object releases this
// one load (FreeLibrary / dlclose), so a library loaded twice stays in the process until both
// objects are gone.
class DynamicLibrary {
  public:
    // Loads the library named by `utf8Name` exactly as given: no directory or extension is added,
    // so the platform's own search rules apply to bare names and relative paths. On failure returns
    // null and sets `errorCode` to the platform's code for it, never 0 (Windows: GetLastError, 126
    // for a missing file; elsewhere an errno value, ENOENT for a missing file). A name that is not
    // valid UTF-8 fails with ERROR_NO_UNICODE_TRANSLATION (1113) on Windows, EILSEQ elsewhere.
    // On Linux a path (a name with a '/') is opened without blocking and loaded only when it names
    // a regular file, through the opened descriptor ("/proc/self/fd/N", so the file checked is the
    // file loaded); anything else, a directory, device or FIFO, fails with EACCES (13). Such a
    // library's own $ORIGIN is then /proc/self/fd.
    // On Windows a network or device path (two leading slashes or backslashes, other than
    // \\?\ followed by a drive letter) is never handed to the loader: it fails with
    // ERROR_ACCESS_DENIED (5).
    static std::unique_ptr<DynamicLibrary> load(const std::string& utf8Name,
                                                unsigned long& errorCode);

    ~DynamicLibrary();
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // The library's undecorated "Invoke" export, or null when it has none.
    InvokeFunc findInvoke() const;

    // Returns an answer block that a plug-in handed over to the heap it came from (see
    // ravelink_alloc_answer). Null is ignored.
    static void freeAnswer(char* answer);

  private:
    explicit DynamicLibrary(void* handle);

    void* handle;  // owned: one load, released by the destructor
};

}  // namespace platform
