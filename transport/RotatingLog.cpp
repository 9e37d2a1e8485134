#include "transport/RotatingLog.h"

#include <utility>

namespace transport {

RotatingLog::RotatingLog(std::string path, std::string previous, std::uint64_t bound)
    : path(std::move(path)), previous(std::move(previous)), bound(bound) {
    file = platform::LogFile::open(this->path);
    size = file ? file->initialSize() : 0;
}

RotatingLog::~RotatingLog() {
    if (!line.empty()) {
        line += '\n';
        writeLine();
    }
}

RotatingLog::int_type RotatingLog::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char character = traits_type::to_char_type(c);
    xsputn(&character, 1);
    return c;
}

std::streamsize RotatingLog::xsputn(const char* text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i) {
        line += text[i];
        if (text[i] == '\n') {
            writeLine();
        }
    }
    return count;
}

void RotatingLog::writeLine() {
    if (line.size() > bound) {
        line.resize(bound - 1);
        line += '\n';
    }
    if (file && size > 0 && size + line.size() > bound) {
        rotate();
    }
    if (file && size + line.size() <= bound && file->append(line.data(), line.size())) {
        size += line.size();
    }
    line.clear();
}

void RotatingLog::rotate() {
    // Closed first: Windows renames an open file only when every opener allowed it.
    file.reset();
    const bool renamed = platform::LogFile::replace(path, previous);
    const bool emptied = !renamed && platform::LogFile::empty(path);
    file = platform::LogFile::open(path);
    size = file ? file->initialSize() : 0;
    if (emptied && file) {
        const std::string note =
            "ravelink: this log could not be renamed to " + previous +
            ", so its earlier lines were dropped to keep it within its bound\n";
        if (note.size() <= bound && file->append(note.data(), note.size())) {
            size += note.size();
        }
    }
}

}  // namespace transport
