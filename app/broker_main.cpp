// ravelink-broker: the machine's broker, for machines where several accounts use ravelink at once
// (terminal servers, shared workstations). Owns 127.0.0.1:7321 and hands each page's connection to
// the copy of ravelink of the page's account (see BrokerApp). Runs as root (Windows: a service as
// the local system); reads no command line, environment or configuration; its lines go to
// standard error (the system journal, under the system unit).
//
// Exit codes: 0 when stopped (a stop signal), 2 when the broker channel cannot be opened.

#include <iostream>

#include "RavelinkVersion.h"
#include "app/BrokerApp.h"
#include "platform/ProcessResources.h"
#include "transport/TimestampedLog.h"

[[gnu::used]] static const char versionText[] = "ravelink-broker version " RAVELINK_VERSION;

int main(int, char**) {
    transport::TimestampedLog stamped(std::cerr.rdbuf());
    std::ostream log(&stamped);
    // Each page waiting to be handed over is a descriptor.
    platform::ProcessResources::raiseDescriptorLimit();
    // A page or copy that goes while the broker writes to it ends that write only.
    platform::ProcessResources::ignoreBrokenPipes();
    BrokerApp broker(log);
    std::string detail;
    if (!broker.open(detail)) {
        log << "ravelink-broker: not started: " << detail << std::endl;
        return 2;
    }
    broker.run();
    return 0;
}
