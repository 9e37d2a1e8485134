#include "transport/HandshakeRequest.h"

#include <websocketpp/processors/processor.hpp>

std::size_t HandshakeRequest::consume(char const* buffer, std::size_t length) {
    const std::size_t used = websocketpp::http::parser::request::consume(buffer, length);
    if (ready() && !checked) {
        checked = true;
        if (websocketpp::processor::is_websocket_handshake(*this) &&
            !acceptsVersion(get_header("Sec-WebSocket-Version"))) {
            remove_header("Upgrade");
        }
    }
    return used;
}

bool HandshakeRequest::acceptsVersion(const std::string& version) {
    return version == "13" || version == "8" || version == "7";
}
