#include "diagnostics/report.h"

#include <cstdio>
#include <string>

namespace quimbel::diagnostics {

void logLine(std::string_view line) { consoleLine(line); }

void consoleLine(std::string_view message) {
  try {
    std::string text = "Quimbel: ";
    text.append(message);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
  } catch (...) {
  }
}

}  // namespace quimbel::diagnostics
