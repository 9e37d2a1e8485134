#pragma once

#include <string>

// Where the unit tests find the plug-ins built for them, in the target's own path form.
namespace testplugins {

#if defined(_WIN32)
const char kSeparator = '\\';
const std::string kExtension = ".dll";
#else
const char kSeparator = '/';
const std::string kExtension = ".so";
#endif

// The full path of test plug-in `name` (no extension).
inline std::string pluginPath(const std::string& name) {
    std::string dir = RAVELINK_TEST_PLUGIN_DIR;
    for (char& c : dir) {
        if (c == '/') {
            c = kSeparator;
        }
    }
    return dir + kSeparator + name + kExtension;
}

}  // namespace testplugins
