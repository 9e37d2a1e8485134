// ravelink: lets web pages on this machine call native plug-in modules over a WebSocket on
// 127.0.0.1:7321. Windowless; reads no command line, environment or configuration.
//
// Exit codes: 0 when serving ends, 1 when another copy already runs in this session, 2 when the
// address cannot be listened on.

#include <iostream>
#include <memory>

#include "app/ListenError.h"
#include "app/ServerApp.h"
#include "platform/InstanceLock.h"
#include "platform/ProcessResources.h"

int main(int, char**) {
    // Each connection is a descriptor; the soft limit would end accepting at about a thousand.
    platform::ProcessResources::raiseDescriptorLimit();
    auto instanceLock = std::make_unique<platform::InstanceLock>();
    if (instanceLock->anotherCopyRuns()) {
        return 1;
    }

    ServerApp app;
    try {
        app.run();
    } catch (const ListenError& error) {
        std::cerr << "ravelink: " << error.what() << std::endl;
        return 2;
    }
    // The claim ends before tear-down, so a new copy may start while this one winds down.
    instanceLock.reset();
    return 0;
}
