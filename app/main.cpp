// ravelink: lets web pages on this machine call native plug-in modules over a WebSocket on
// 127.0.0.1:7321. Windowless; reads no command line, environment or configuration. Where the
// machine's broker (ravelink-broker) runs, the copy registers with it and serves the pages of its
// account that the broker hands over, instead of listening itself.
//
// Exit codes: 0 when serving ends (after a stop signal, see ServerApp), 1 when another copy already
// runs in this session (or is registered with the broker for this account and session), 2 when
// the broker refuses this copy, or when there is no broker and the address cannot be listened on.

#include <iostream>
#include <memory>

#include "RavelinkVersion.h"
#include "app/BrokerRefusal.h"
#include "app/ListenError.h"
#include "app/ProgramLog.h"
#include "app/ServerApp.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessResources.h"
#include "policy/PolicyReader.h"

// The program reads no command line, so its version is kept as a text in the binary:
// `strings ravelink | grep '^ravelink version'` finds it. Windows builds also carry a version
// resource; pages ask the ravelink_info plug-in.
[[gnu::used]] static const char versionText[] = "ravelink version " RAVELINK_VERSION;

int main(int, char**) {
    // First, so that even a start that fails leaves its line where the help desk looks.
    const ProgramLog log;
    // Each connection is a descriptor; the soft limit would end accepting at about a thousand.
    platform::ProcessResources::raiseDescriptorLimit();
    // A page or a host that goes while the program writes to it ends that write only.
    platform::ProcessResources::ignoreBrokenPipes();
    auto instanceLock = std::make_unique<platform::InstanceLock>();
    if (instanceLock->anotherCopyRuns()) {
        std::cerr << "ravelink: not started: another copy already runs in this session and serves "
                     "127.0.0.1:7321"
                  << std::endl;
        return 1;
    }

    // Read once; the program holds it unchanged until it ends.
    const policy::Policy machinePolicy = policy::PolicyReader::readMachinePolicy(std::cerr);
    ServerApp app(machinePolicy, log.access(), log.error());
    try {
        app.run();
    } catch (const ListenError& error) {
        std::cerr << "ravelink: not started: " << error.what() << std::endl;
        return 2;
    } catch (const BrokerRefusal& refusal) {
        if (refusal.anotherCopy()) {
            std::cerr << "ravelink: not started: another copy of this account already runs in "
                         "this session and is registered with the machine's broker ("
                      << refusal.what() << ")" << std::endl;
            return 1;
        }
        std::cerr << "ravelink: not started: " << refusal.what() << std::endl;
        return 2;
    }
    // The claim ends before tear-down, so a new copy may start while this one winds down.
    instanceLock.reset();
    return 0;
}
