#pragma once

#include <ostream>

namespace transport {

// Where one of the endpoint's logs goes, and how much of it.
struct LogDestination {
    // Not owned; null: nowhere, and the log's lines are not even formatted.
    std::ostream* stream = nullptr;
    // The help desk's share only: of the access log the lines about connections (connect,
    // disconnect, fail, http) and ravelink's own, not a line per frame; the error log in full.
    bool helpDesk = false;
};

}  // namespace transport
