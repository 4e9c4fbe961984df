#pragma once

#include <string>
#include <string_view>

namespace quimbel {

// What a report and a run marker say about the program and the machine.
struct AppInfo {
  std::string version;  // the program's version, "1.0.0"
  std::string build;    // the build number
  std::string system;   // "Linux 6.1.0-18-amd64, Debian GNU/Linux 12 (bookworm)"
  std::string model;    // the machine's product name from the firmware tables
  std::string arch;     // "x86_64" or "arm64", as the program runs

  // Read once at start: the kernel release, /etc/os-release and
  // /sys/class/dmi/id/product_name. Unreadable values read as "unknown".
  static AppInfo current();

  // "Linux " + kernel release + ", " + PRETTY_NAME of an os-release text (the
  // value unquoted); without a PRETTY_NAME just "Linux " + kernel release.
  static std::string systemDescription(std::string_view kernelRelease, std::string_view osRelease);
};

}  // namespace quimbel
