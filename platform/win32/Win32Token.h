#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Who a process runs as, from its token: the user's SID as text and the logon session. Shared by
// the Windows layer's files (the peer owner, the broker channel). Internal to platform/win32.
class Win32Token {
  public:
    // `process` needs PROCESS_QUERY_LIMITED_INFORMATION. False with `error` (a Windows error code)
    // when the token or what it holds cannot be read.
    static bool read(HANDLE process, std::string& user, unsigned long& session,
                     unsigned long& error);
};

}  // namespace platform
