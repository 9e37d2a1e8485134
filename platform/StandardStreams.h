#pragma once

namespace platform {

// What the process's standard output and error are connected to.
class StandardStreams {
  public:
    enum Stream { kOutput, kError };

    enum Reader {
        // Whatever is written can never be read: the stream is closed, missing, or connected to
        // the null device (a Windows program started at logon has no streams at all).
        kNobody,
        // The service manager's log: on Linux, the systemd journal, which keeps what a user unit
        // writes. Someone reads it only when something went wrong.
        kServiceLog,
        // A terminal, a file, a pipe: someone chose where it goes.
        kPerson,
    };

    static Reader reader(Stream stream);

    // True when `stream` has no reader: logging to it can be skipped without anyone seeing a
    // difference.
    static bool isDiscarded(Stream stream) { return reader(stream) == kNobody; }
};

}  // namespace platform
