#pragma once

#include <functional>
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
    // On Linux a path (a name with a '/') is looked at without blocking and loaded only when it
    // names a regular file, by its resolved location (so its $ORIGIN is its real folder); anything
    // else, a directory, device or FIFO, fails with EACCES (13).
    // On Windows a network or device path (two leading slashes or backslashes, other than
    // \\?\ followed by a drive letter) is never handed to the loader: it fails with
    // ERROR_ACCESS_DENIED (5).
    static std::unique_ptr<DynamicLibrary> load(const std::string& utf8Name,
                                                unsigned long& errorCode);

    // Decides from a file's location key (see ModuleLocation) whether it may be loaded.
    using Admission = std::function<bool(const std::string& locationKey)>;

    // Loads like load(), but only a file whose real location `admits` accepts; any other fails
    // with the access-denied code (ERROR_ACCESS_DENIED, 5, on Windows; EACCES elsewhere). The file
    // is opened first and its location is read from the open file, so links, "..", short names and
    // case cannot disguise it. Windows: the file stays open without write or delete sharing until
    // the loader has mapped it, so what is loaded is the file that was checked. Linux: the loader
    // is given that resolved location, with every link and ".." already resolved (not the open
    // descriptor, whose name would make /proc/self/fd the plug-in's $ORIGIN); only the file's
    // entry in its own, admitted folder could change in between, and whoever can change that can
    // put any library there anyway. A bare name (no folder) means a file of the program's
    // installation: the one beside the program, the first place the Windows loader looks; on
    // Linux, when there is none, the one in the installation's library folder
    // (<program folder>/../lib/). The loader's wider search is not used.
    // On Windows a name without an extension gets ".dll", as LoadLibraryW would add it. A name that
    // cannot be opened is reported as the loader would report it only when its folder lies inside
    // an admitted place, and as access denied otherwise, so pages cannot probe for files elsewhere.
    // `location` is set to the resolved path (for the log) whenever one was found.
    static std::unique_ptr<DynamicLibrary> load(const std::string& utf8Name,
                                                const Admission& admits, unsigned long& errorCode,
                                                std::string& location);

    // Looks at the file exactly as the load above would, without loading it: true when it would
    // be loaded, with `location` set to its resolved path, which a host process then loads;
    // otherwise false with `errorCode` set as that load would set it. `hold` is what keeps the
    // checked file as it was until the host has loaded it, to be dropped then (Windows: the file
    // open without write or delete sharing; null elsewhere, see load() above).
    static bool locate(const std::string& utf8Name, const Admission& admits,
                       unsigned long& errorCode, std::string& location,
                       std::shared_ptr<void>& hold);

    // The width (32 or 64) of the code in the Windows library that load() would look for first
    // (a bare name: beside the program; ".dll" added to a name without an extension), read from
    // its PE header without loading it. 0 when it cannot be told (no such file, not a PE image),
    // and always 0 elsewhere, where a process loads only libraries of its own kind anyway.
    static int imageWidth(const std::string& utf8Name);

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
