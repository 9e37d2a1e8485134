#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plugin {

// One message between the program and a module's host process, and how it travels on their pipe.
//
// On the pipe a frame is a 32-bit little-endian body length, then the body: the kind byte, a flag
// byte, a 32-bit little-endian code and two texts, each a 32-bit little-endian length and its
// bytes. What the fields mean depends on the kind:
//   kLoad     program -> host  first: the module's location
//   kLoaded   host -> program  code: 0, or the loader's error code; flag: the module has "Invoke"
//   kInvoke   program -> host  first: method, second: parameter
//   kAnswer   host -> program  code: Invoke's status; flag: an answer was given; first: the answer
//   kRelease  program -> host  release the module and exit
//
// Reading is incremental (feed what the pipe gave, take whole frames); bytes that cannot be a
// frame stop the reader for good, since nothing after them can be trusted either.
class HostFrame {
  public:
    enum Kind : std::uint8_t { kLoad = 1, kLoaded, kInvoke, kAnswer, kRelease };
    // The largest body taken: far above any answer a page can be sent, far below what would hurt.
    static constexpr std::size_t kMaxBody = 256u * 1024 * 1024;

    Kind kind = kRelease;
    bool flag = false;
    std::int32_t code = 0;
    std::string first;
    std::string second;

    // The frame's bytes as they go on the pipe; empty when its texts do not fit a body of
    // kMaxBody bytes (no reader would take it).
    std::string encode() const;

    // For a gathered write of a frame whose texts stay where they are: writes the frame's own
    // kFieldsSize bytes to `out`, of which the first kBeforeFirst go before the first text and
    // the rest between the texts. `firstSize` and `secondSize` stand in for the sizes of `first`
    // and `second`; false, with nothing written, when they do not fit a body of kMaxBody bytes.
    bool fields(std::size_t firstSize, std::size_t secondSize, char* out) const;
    static constexpr std::size_t kBeforeFirst = 4 + 1 + 1 + 4 + 4;
    static constexpr std::size_t kFieldsSize = kBeforeFirst + 4;

    class Reader {
      public:
        // Appends bytes read from the pipe.
        void feed(const char* bytes, std::size_t count);
        // Takes the next whole frame into `frame`; false when none is complete yet or the input
        // is unusable (see failed()).
        bool next(HostFrame& frame);
        // Why the input is unusable (an oversized length, an unknown kind, texts that do not fit
        // their body), or empty while it is fine.
        const std::string& failed() const { return failure; }
        // Whether part of a frame is waiting: at the end of the input, a frame cut short.
        bool partial() const { return buffer.size() > consumed; }

      private:
        std::string buffer;
        std::size_t consumed = 0;  // bytes of `buffer` already taken as frames
        std::string failure;
    };
};

}  // namespace plugin
