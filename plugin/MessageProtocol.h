#pragma once

#include <memory>
#include <string>

#include "notification/Notification.h"
#include "notification/ResponseNotification.h"

namespace plugin {

// The JSON request/reply protocol that pages speak on a connection.
//
// A request is one JSON object. Its "MsgId" (a non-empty string) names the request; a non-empty
// string "Module" makes it a load request, otherwise a non-empty string "Method" makes it an invoke
// request whose "Param" text (when a non-empty string; else "{}") goes to the module. A load
// request whose "Isolated" is the JSON value true asks for a host process of its own. Member names
// are case-sensitive, the first of duplicate names counts, other members are ignored, and every
// text is taken up to its first NUL.
//
// A reply is the compact object {"MsgId":...,"Result":...,"Response":...}.
class MessageProtocol {
  public:
    // Nesting deeper than this is refused as "Invalid message format". A request needs one level;
    // the limit only keeps hostile input cheap.
    static constexpr unsigned kMaxDepth = 512;

    // Reads one payload into exactly one of: a LoadPluginNotification or an
    // InvokePluginFunctionNotification (with its msgId set), or an InvalidSyntaxResponse carrying
    // the first reason that applies: "Bad request" (empty payload), "Invalid message format" (not
    // one JSON object), "message not have MsgId", "not find operation(Module or Method)".
    //
    // The payload is parsed in place: strings are decoded into its own bytes, so it is left with
    // unspecified content. Nothing refers to it afterwards.
    static std::shared_ptr<notification::Notification> readRequest(std::string& payload);

    // Writes the reply document for any response. Strings are cut at their first NUL; quotes,
    // backslashes and control characters are escaped, everything else is written as is, except that
    // ill-formed UTF-8 is replaced by U+FFFD so that the reply can travel as a text message.
    static std::string writeReply(const notification::ResponseNotification& response);
};

}  // namespace plugin
