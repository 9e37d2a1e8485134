#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>
#include <string>

#include "platform/LogFile.h"

namespace transport {

// A stream buffer that appends whole lines to a log file kept below a bound: a line that would
// take the file past `bound` bytes first turns the file into the previous generation (`previous`,
// replacing the one before) and starts the file anew. At most 2 x `bound` bytes are kept, and the
// newest lines are always in `path`. Each line is written with one append as soon as its newline
// arrives; a line longer than the bound is cut to it.
//
// When the rename fails (on Windows a viewer that holds either file without allowing it to be
// renamed), the file is emptied in place instead and starts with one line that says so: its older
// lines are lost, but the newest keep coming, which is what the help desk needs most, and the
// previous generation stays as it was. When it cannot be emptied either, lines are dropped until a
// later line's rotation succeeds; the file never grows past its bound.
//
// A line a failed write drops is lost; the log must never stop the program.
class RotatingLog : public std::streambuf {
  public:
    RotatingLog(std::string path, std::string previous, std::uint64_t bound);
    ~RotatingLog() override;
    RotatingLog(const RotatingLog&) = delete;
    RotatingLog& operator=(const RotatingLog&) = delete;

    // False when the file could not be opened; the buffer then drops what it is given.
    bool isOpen() const { return file != nullptr; }

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

  private:
    void writeLine();
    void rotate();

    const std::string path;
    const std::string previous;
    const std::uint64_t bound;
    std::unique_ptr<platform::LogFile> file;
    std::uint64_t size = 0;
    std::string line;  // the line being written, up to its newline
};

}  // namespace transport
