#pragma once

#include <string>

namespace platform {

// Text conversions shared by the Windows layer's files: the system speaks UTF-16, the program
// UTF-8. Internal to platform/win32.
class Win32Text {
  public:
    // False, leaving `wide` unspecified, when `utf8` is not valid UTF-8.
    static bool toWide(const std::string& utf8, std::wstring& wide);
    static std::string toUtf8(const std::wstring& wide);
};

}  // namespace platform
