#pragma once

#include <string>

namespace platform {

// The real location of a file or folder, as a key that compares the way the platform compares
// paths: after links, "." and "..", short names and the current directory have been resolved, and
// on Windows without the \\?\ prefix and in upper case. Separators are always '/', and a folder's
// key ends with one, so "is inside" is a plain prefix test that respects folder boundaries.
class ModuleLocation {
  public:
    // The key of a folder named by an administrator. The folder need not exist yet; what exists of
    // it is resolved and the rest is taken as written. Returns false, with `problem` saying why,
    // for a folder that is not an absolute local path.
    static bool folderKey(const std::string& utf8Folder, std::string& key, std::string& problem);
};

}  // namespace platform
