#include "app/ProgramLog.h"

#include <iostream>
#include <string>

#include "platform/LogFile.h"
#include "platform/StandardStreams.h"

using platform::StandardStreams;

namespace {

// The buffer a log with this reader writes to: the stream's own, the log file, or none.
std::streambuf* target(StandardStreams::Reader reader, std::streambuf* own,
                       transport::RotatingLog* file) {
    if (reader != StandardStreams::kNobody) {
        return own;
    }
    return file != nullptr && file->isOpen() ? file : nullptr;
}

}  // namespace

ProgramLog::ProgramLog() : originalError(std::cerr.rdbuf()) {
    const StandardStreams::Reader output = StandardStreams::reader(StandardStreams::kOutput);
    const StandardStreams::Reader error = StandardStreams::reader(StandardStreams::kError);
    if (output == StandardStreams::kNobody || error == StandardStreams::kNobody) {
        const std::string folder = platform::LogFile::folder();
        if (!folder.empty()) {
            file = std::make_unique<transport::RotatingLog>(folder + "ravelink.log",
                                                            folder + "ravelink.1.log", kBound);
        }
    }
    std::streambuf* const accessTarget = target(output, std::cout.rdbuf(), file.get());
    std::streambuf* const errorTarget = target(error, originalError, file.get());
    if (accessTarget != nullptr) {
        accessStream = std::make_unique<std::ostream>(accessTarget);
        accessLog = {accessStream.get(), output != StandardStreams::kPerson};
    }
    if (errorTarget != nullptr) {
        errorStream = std::make_unique<std::ostream>(errorTarget);
        errorLog = {errorStream.get(), error != StandardStreams::kPerson};
    }
    ownLines = std::make_unique<transport::TimestampedLog>(errorTarget);
    std::cerr.rdbuf(ownLines.get());
}

ProgramLog::~ProgramLog() {
    std::cerr.rdbuf(originalError);
}
