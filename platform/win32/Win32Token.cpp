// A process token's user and session, read with TOKEN_QUERY.
#include "platform/win32/Win32Token.h"

#include <sddl.h>

#include <vector>

namespace platform {

bool Win32Token::read(HANDLE process, std::string& user, unsigned long& session,
                      unsigned long& error) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        error = GetLastError();
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size == 0 ? 1 : size);
    char* text = nullptr;  // a SID's text is ASCII
    DWORD sessionId = 0;
    bool read =
        GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text) &&
        GetTokenInformation(token, TokenSessionId, &sessionId, sizeof sessionId, &size);
    if (!read) {
        error = GetLastError();
    } else {
        user = text;
        session = sessionId;
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    CloseHandle(token);
    return read;
}

}  // namespace platform
