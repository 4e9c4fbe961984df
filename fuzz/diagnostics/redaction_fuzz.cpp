// Feeds arbitrary log messages, and arbitrary user names, to the redaction:
// it must never crash or hang, and well-formed text must come out well-formed.
//
// Input: when it holds a line feed, the bytes before the first one are one
// more of the user's names (so names full of pattern syntax get tried) and
// the rest is the message; otherwise it is all message.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "diagnostics/redaction.h"
#include "diagnostics/utf8.h"

using quimbel::Redaction;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Redaction account(Redaction::accountNames("adalove", "Ada King Lovelace"),
                                 {"Secret Song"});
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  const auto check = [&](const Redaction& redaction, std::string_view message) {
    const std::string output = redaction.apply(message);
    if (!quimbel::diagnostics::isValidUtf8(output)) {
      std::fprintf(stderr, "redaction produced ill-formed UTF-8\n");
      std::abort();
    }
  };

  check(account, input);
  const std::size_t newline = input.find('\n');
  if (newline != std::string_view::npos) {
    const Redaction withName(
        Redaction::accountNames("adalove", std::string(input.substr(0, newline))));
    check(withName, input.substr(newline + 1));
  }
  return 0;
}
