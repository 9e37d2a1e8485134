#pragma once

#include <memory>
#include <ostream>
#include <streambuf>

#include "transport/LogDestination.h"
#include "transport/RotatingLog.h"
#include "transport/TimestampedLog.h"

// Where the program's logs go, decided once at start from what its standard streams are connected
// to (the program reads no environment, command line or configuration):
//
//   - a stream a person chose (terminal, file, pipe) gets its log in full, as it always did;
//   - a stream the service manager keeps (the journal of the Linux user unit) gets the help desk's
//     share: the error log, and the access log's connection lines, not a line per frame;
//   - a stream nobody can read (missing, closed, the null device: a Windows program started at
//     logon) sends the help desk's share of its log to the log file in the user's log folder
//     (platform::LogFile::folder(), "<local application data>\ravelink\logs\ravelink.log"), kept
//     below kBound bytes with one previous generation, ravelink.1.log. Where the platform keeps
//     no such folder, that log goes nowhere.
//
// The error log also carries ravelink's own lines, written to std::cerr: while this object lives,
// std::cerr goes where the error log goes, each line with a timestamp.
class ProgramLog {
  public:
    static constexpr unsigned long kBound = 1024 * 1024;

    ProgramLog();
    ~ProgramLog();
    ProgramLog(const ProgramLog&) = delete;
    ProgramLog& operator=(const ProgramLog&) = delete;

    const transport::LogDestination& access() const { return accessLog; }
    const transport::LogDestination& error() const { return errorLog; }

  private:
    // Both logs' share when a stream has no reader; null when neither lacks one.
    std::unique_ptr<transport::RotatingLog> file;
    std::unique_ptr<std::ostream> accessStream;
    std::unique_ptr<std::ostream> errorStream;
    transport::LogDestination accessLog;
    transport::LogDestination errorLog;
    std::unique_ptr<transport::TimestampedLog> ownLines;
    std::streambuf* originalError;  // std::cerr's own buffer, put back at the end
};
