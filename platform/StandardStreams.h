#pragma once

namespace platform {

// What the process's standard output and error are connected to.
class StandardStreams {
  public:
    enum Stream { kOutput, kError };

    // True when whatever is written to `stream` can never be read: it is closed, missing, or
    // connected to the null device. Logging to such a stream can be skipped without anyone seeing
    // a difference.
    static bool isDiscarded(Stream stream);
};

}  // namespace platform
