// The broker channel's test probe on Windows: a plain, blocking client of the broker's pipe in
// message mode.
#include <windows.h>

#include "platform/BrokerChannel.h"
#include "platform/BrokerChannelProbe.h"
#include "platform/win32/Win32Text.h"

namespace platform {

std::unique_ptr<BrokerChannelProbe> BrokerChannelProbe::connect(std::error_code& error) {
    std::wstring name;
    Win32Text::toWide(BrokerChannel::kWindowsPipe, name);
    HANDLE pipe = CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
                              0, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (pipe == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
        error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
        if (pipe != INVALID_HANDLE_VALUE) {
            CloseHandle(pipe);
        }
        return nullptr;
    }
    error.clear();
    return std::unique_ptr<BrokerChannelProbe>(
        new BrokerChannelProbe(reinterpret_cast<std::uintptr_t>(pipe)));
}

BrokerChannelProbe::~BrokerChannelProbe() {
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool BrokerChannelProbe::send(const std::string& bytes, std::error_code& error) {
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle), bytes.data(), static_cast<DWORD>(bytes.size()),
                   &written, nullptr) ||
        written != bytes.size()) {
        error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
        return false;
    }
    error.clear();
    return true;
}

}  // namespace platform
