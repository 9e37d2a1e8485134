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

    // The key of this installation's information plug-in, where a bare name finds it under a policy
    // (see DynamicLibrary::load): ravelink_info.dll beside the program on Windows;
    // libravelink_info.so beside the program or in the library folder of its installation on
    // Linux. Empty when it is not installed.
    static std::string informationPluginKey();
};

}  // namespace platform
