#pragma once

#include <string>

namespace platform {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF. This is the
// same rule the WebSocket layer applies to text messages, so a text that passes here is never
// refused there.
class Utf8 {
  public:
    static bool isValid(const std::string& text);

    // Replaces every maximal ill-formed subsequence of `text` with U+FFFD. A valid text is left
    // untouched (and not copied).
    static void sanitize(std::string& text);

    // Converts to UTF-16 (characters above U+FFFF become surrogate pairs). Returns false, leaving
    // `out` unspecified, when `text` is not valid UTF-8.
    static bool toUtf16(const std::string& text, std::u16string& out);

  private:
    // Length of the well-formed character starting at text[pos], or 0 if none starts there. When 0,
    // `badLength` is the length of the maximal ill-formed subpart to replace (at least 1).
    static std::size_t decode(const std::string& text, std::size_t pos, char32_t& codePoint,
                              std::size_t& badLength);
};

}  // namespace platform
