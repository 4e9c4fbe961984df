#pragma once

// The subcommands of the `quimbel` command line. Each takes the arguments that
// follow its name and returns the process exit status: 0 on success, 2 for a
// usage or input error (one line "quimbel: <where>: <what>" on standard error),
// 1 when an output cannot be written.

#include <span>
#include <string>
#include <string_view>

namespace quimbel::cli {

using Args = std::span<const std::string_view>;

int runChords(Args args);
int runRender(Args args);
int runScreen(Args args);

// The text as a JSON string literal, quotes included.
std::string jsonString(std::string_view text);

// Prints "quimbel: <where>: <what>" on standard error and returns 2.
int usageError(std::string_view where, std::string_view what);

}  // namespace quimbel::cli
