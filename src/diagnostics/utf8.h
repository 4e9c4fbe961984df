#pragma once

#include <string>
#include <string_view>

// UTF-8 checks for text that reaches the log from outside the program's
// control: account names, file contents cut at an arbitrary byte.
namespace quimbel::diagnostics {

// True when the bytes are well-formed UTF-8 (no overlongs, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes) noexcept;

// Decodes the bytes as UTF-8, replacing each maximal ill-formed subpart with
// U+FFFD, so the result is always well-formed and valid input comes back as is.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace quimbel::diagnostics
