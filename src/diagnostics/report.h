#pragma once

#include <string_view>

// Program-wide reporting of events that degrade quietly.
//
// Thread contract: both functions are safe from any thread except the
// real-time audio thread (they may allocate, lock and make system calls).
// They never throw; a line that cannot be written is dropped.
namespace quimbel::diagnostics {

// Writes a tagged line such as "[audio] started at 48000 Hz" to the diagnostics log.
void logLine(std::string_view line);

// Writes "Quimbel: <message>" to standard error (the developers' console).
void consoleLine(std::string_view message);

}  // namespace quimbel::diagnostics
