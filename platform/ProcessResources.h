#pragma once

namespace platform {

// What the process may use of the system's resources, where the platform lets it choose.
class ProcessResources {
  public:
    // Raises the soft limit on open descriptors to the hard limit, so idle connections do not run
    // the process out of descriptors at the usual soft limit of 1024. Nothing on Windows, which
    // has no such limit for sockets.
    static void raiseDescriptorLimit();

    // Makes a write to a pipe or socket whose other end has gone fail with an error instead of
    // ending the process (SIGPIPE is ignored). Called once at start, before any thread or child
    // exists. Nothing on Windows, where such a write fails anyway.
    static void ignoreBrokenPipes();

    // Gives the heap's free memory back to the system (glibc keeps freed memory for reuse, even
    // after a burst of hundreds of megabytes). Nothing on Windows, whose heap decommits by itself.
    static void releaseFreeMemory();
};

}  // namespace platform
