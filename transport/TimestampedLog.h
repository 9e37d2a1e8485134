#pragma once

#include <streambuf>

namespace transport {

// A stream buffer that starts every line with the local time, as the WebSocket library's logs do
// ("[2026-12-09 04:11:45] "), and passes the text on to `target` (not owned; null drops it). It
// gives ravelink's own lines (policy refusals, a failed start) the timestamps of the lines around
// them.
class TimestampedLog : public std::streambuf {
  public:
    explicit TimestampedLog(std::streambuf* target) : target(target) {}

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

  private:
    std::streambuf* target;
    bool atLineStart = true;
};

}  // namespace transport
