#include "diagnostics/report.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "diagnostics/log.h"

namespace quimbel::diagnostics {
namespace {

std::mutex captureMutex;
LogCapture* innermostCapture = nullptr;  // guarded by captureMutex

}  // namespace

void logLine(std::string_view line) {
  try {
    {
      std::lock_guard lock(captureMutex);
      if (innermostCapture != nullptr) innermostCapture->lines_.emplace_back(line);
    }
    DiagnosticsLog::shared().write(line);
  } catch (...) {
    // Only allocation can fail here; the line is dropped.
  }
  consoleLine(line);
}

void consoleLine(std::string_view message) {
  try {
    std::string text = "Quimbel: ";
    text.append(message);
    text.push_back('\n');
    // One write call per line keeps lines from several threads apart.
    std::size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
  } catch (...) {
  }
}

LogCapture::LogCapture() {
  std::lock_guard lock(captureMutex);
  outer_ = innermostCapture;
  innermostCapture = this;
}

LogCapture::~LogCapture() {
  std::lock_guard lock(captureMutex);
  if (innermostCapture == this) innermostCapture = outer_;
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard lock(captureMutex);
  return lines_;
}

bool LogCapture::contains(std::string_view text) const {
  std::lock_guard lock(captureMutex);
  return std::any_of(lines_.begin(), lines_.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

}  // namespace quimbel::diagnostics
