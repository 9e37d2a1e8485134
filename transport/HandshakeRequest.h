#pragma once

#include <cstddef>

#include <websocketpp/http/request.hpp>

// The library's HTTP request reader, with one rule added: a WebSocket upgrade goes ahead only for
// the versions of RFC 6455's framing (13, and the drafts 8 and 7). Any other upgrade, the old
// draft handshake without Sec-WebSocket-Version included, is read as a plain HTTP request, which
// the endpoint answers with 426 and "Sec-WebSocket-Version: 13". So every open connection frames
// like RFC 6455, and the message size limit and the UTF-8 check hold for every client.
//
// consume() hides the base's: the library calls it on this type (the configuration's request
// type), never through a base reference.
class HandshakeRequest : public websocketpp::http::parser::request {
  public:
    std::size_t consume(char const* buffer, std::size_t length);

    // Whether `version` (a Sec-WebSocket-Version value) names a version that may upgrade.
    static bool acceptsVersion(const std::string& version);

  private:
    bool checked = false;
};
