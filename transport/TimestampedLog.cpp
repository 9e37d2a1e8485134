#include "transport/TimestampedLog.h"

#include <ctime>

#include <websocketpp/common/time.hpp>

namespace transport {

TimestampedLog::int_type TimestampedLog::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char character = traits_type::to_char_type(c);
    xsputn(&character, 1);
    return c;
}

std::streamsize TimestampedLog::xsputn(const char* text, std::streamsize count) {
    if (target == nullptr) {
        return count;
    }
    std::streamsize start = 0;
    for (std::streamsize i = 0; i < count; ++i) {
        if (atLineStart) {
            target->sputn(text + start, i - start);
            start = i;
            char stamp[32];
            const std::tm local = websocketpp::lib::localtime(std::time(nullptr));
            const std::size_t length =
                std::strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S] ", &local);
            target->sputn(stamp, static_cast<std::streamsize>(length));
            atLineStart = false;
        }
        if (text[i] == '\n') {
            atLineStart = true;
        }
    }
    target->sputn(text + start, count - start);
    return count;
}

int TimestampedLog::sync() {
    return target != nullptr ? target->pubsync() : 0;
}

}  // namespace transport
