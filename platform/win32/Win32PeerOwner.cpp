// The owner of a loopback peer on Windows: gathers what the system reports (the TCP table with
// owner process ids, the owner's token user and session) and leaves the decision to
// LoopbackPeerOwner::decide (platform/LoopbackPeerOwner.cpp).

// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <sddl.h>
// clang-format on

#include <string>
#include <vector>

#include "platform/LoopbackPeerOwner.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/Win32Token.h"

namespace platform {

namespace {

// Owns one kernel handle.
struct Handle {
    HANDLE handle = nullptr;
    ~Handle() {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
};

void readTable(LoopbackPeerOwner::WindowsFacts& facts) {
    std::vector<unsigned char> buffer(16 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD status =
            GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        if (status == ERROR_INSUFFICIENT_BUFFER) {
            buffer.resize(size + 4096);  // connections may come between the two calls
            continue;
        }
        if (status != NO_ERROR) {
            facts.tableError = status;
            return;
        }
        const MIB_TCPTABLE_OWNER_PID* table =
            reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
        facts.rows.reserve(table->dwNumEntries);
        for (DWORD i = 0; i < table->dwNumEntries; ++i) {
            const MIB_TCPROW_OWNER_PID& row = table->table[i];
            LoopbackPeerOwner::TcpRow entry;
            entry.localAddress = ntohl(row.dwLocalAddr);
            entry.localPort = ntohs(static_cast<u_short>(row.dwLocalPort));
            entry.remoteAddress = ntohl(row.dwRemoteAddr);
            entry.remotePort = ntohs(static_cast<u_short>(row.dwRemotePort));
            entry.established = row.dwState == MIB_TCP_STATE_ESTAB;
            entry.ownerProcessId = row.dwOwningPid;
            facts.rows.push_back(entry);
        }
        facts.tableRead = true;
        return;
    }
    facts.tableError = ERROR_INSUFFICIENT_BUFFER;
}

}  // namespace

// This process's own user and session, read once.
struct LoopbackPeerOwner::State {
    bool ownRead = false;
    std::string ownUser;
    unsigned long ownSession = 0;
};

LoopbackPeerOwner::LoopbackPeerOwner() : state(new State) {
    unsigned long error = 0;
    state->ownRead =
        Win32Token::read(GetCurrentProcess(), state->ownUser, state->ownSession, error);
}

LoopbackPeerOwner::~LoopbackPeerOwner() = default;

LoopbackPeerOwner::Finding LoopbackPeerOwner::find(const Connection& connection) {
    WindowsFacts facts;
    facts.ownUser = state->ownUser;  // empty when unread: then no process matches it
    facts.ownSession = state->ownSession;
    readTable(facts);
    const TcpRow* row = facts.tableRead ? peerRow(facts.rows, connection) : nullptr;
    if (row != nullptr && row->established && row->ownerProcessId != 0) {
        Handle process;
        process.handle = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, row->ownerProcessId);
        if (process.handle == nullptr) {
            facts.processError = GetLastError();
        } else {
            facts.processOpened = true;
            facts.tokenRead = Win32Token::read(process.handle, facts.processUser,
                                               facts.processSession, facts.processError);
        }
    }
    return decide(connection, facts);
}

std::string LoopbackPeerOwner::accountName(const std::string& user) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(user.c_str(), &sid)) {
        return std::string();
    }
    wchar_t name[256];
    wchar_t domain[256];
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use;
    std::string result;
    if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
        result = Win32Text::toUtf8(std::wstring(domain) + L"\\" + name);
    }
    LocalFree(sid);
    return result;
}

}  // namespace platform
