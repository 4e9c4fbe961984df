#include "app/platform_start.h"

#include <unistd.h>

#include <QString>
#include <QtGlobal>
#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "diagnostics/report.h"

namespace quimbel {

namespace {

// The Debian package that brings a platform plugin.
std::string_view packageOf(std::string_view plugin) {
  if (plugin.starts_with("wayland")) return "qt6-wayland";
  if (plugin == "xcb" || plugin == "offscreen" || plugin == "minimal" || plugin == "linuxfb" ||
      plugin == "vkkhrdisplay")
    return "libqt6gui6";
  if (plugin == "eglfs" || plugin == "minimalegl") return "libqt6opengl6";
  if (plugin == "vnc") return "qt6-qpa-plugins";
  return {};
}

// The plugin name a message of Qt's quotes after `lead`, if it says that.
std::optional<std::string> quotedPlugin(std::string_view message, std::string_view lead) {
  const std::size_t at = message.find(lead);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t from = at + lead.size();
  const std::size_t end = message.find('"', from);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(message.substr(from, end - from));
}

std::string shown(const std::optional<std::string>& value, std::string_view name) {
  if (!value || value->empty()) return std::string(name) + " is not set";
  return std::string(name) + "=" + *value;
}

std::string reasonFor(const std::string& plugin, bool found, const PlatformSetting& setting) {
  if (!found) {
    std::string reason = "no Qt platform plugin \"" + plugin + "\"";
    const std::string_view package = packageOf(plugin);
    if (!package.empty()) return reason + " (the package " + std::string(package) + " brings it)";
    return reason + " (" + shown(setting.requested, "QT_QPA_PLATFORM") + ")";
  }
  if (plugin == "xcb") {
    if (!setting.display || setting.display->empty()) return "no X11 display (DISPLAY is not set)";
    return "the X11 display " + *setting.display + " does not answer";
  }
  if (plugin.starts_with("wayland"))
    return "no Wayland compositor answers (" + shown(setting.waylandDisplay, "WAYLAND_DISPLAY") +
           ")";
  return "the Qt platform plugin \"" + plugin + "\" did not start";
}

struct Held {
  QtMsgType type;
  std::string category;
  QString text;
};

QtMessageHandler previousHandler = nullptr;
std::vector<Held>* heldMessages = nullptr;

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void holdOrEnd(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    heldMessages->push_back({type, context.category ? context.category : "", text});
    return;
  }
  std::vector<std::string> said;
  for (const Held& held : *heldMessages) said.push_back(held.text.toStdString());
  said.push_back(text.toStdString());
  const PlatformSetting setting{environment("QT_QPA_PLATFORM"), environment("DISPLAY"),
                                environment("WAYLAND_DISPLAY")};
  diagnostics::consoleLine("cannot start: " + platformFailure(setting, said));
  // Nothing of the half-made application may run its teardown, and no
  // abort may look like a crash.
  ::_exit(1);
}

}  // namespace

std::string platformFailure(const PlatformSetting& setting,
                            const std::vector<std::string>& qtSaid) {
  std::vector<std::pair<std::string, bool>> tried;  // plugin, found
  for (const std::string& message : qtSaid) {
    if (auto plugin = quotedPlugin(message, "Could not find the Qt platform plugin \"")) {
      tried.emplace_back(*plugin, false);
    } else if (auto loaded = quotedPlugin(message, "Could not load the Qt platform plugin \"")) {
      tried.emplace_back(*loaded, true);
    }
  }
  const bool noDisplay = (!setting.display || setting.display->empty()) &&
                         (!setting.waylandDisplay || setting.waylandDisplay->empty());
  const bool onlyDisplays = std::all_of(tried.begin(), tried.end(), [](const auto& plugin) {
    return plugin.second && (plugin.first == "xcb" || plugin.first.starts_with("wayland"));
  });
  // No session at all is one plain fact, whichever plugins Qt tried for it.
  if (noDisplay && onlyDisplays && !setting.requested)
    return "no display (neither DISPLAY nor WAYLAND_DISPLAY is set): start it in a desktop session";
  if (tried.empty()) return "no Qt platform plugin could start";
  std::string line;
  for (const auto& [plugin, found] : tried) {
    if (!line.empty()) line += "; ";
    line += reasonFor(plugin, found, setting);
  }
  return line;
}

PlatformStartGuard::PlatformStartGuard() {
  heldMessages = new std::vector<Held>;
  previousHandler = qInstallMessageHandler(holdOrEnd);
}

PlatformStartGuard::~PlatformStartGuard() {
  qInstallMessageHandler(previousHandler);
  std::vector<Held>* held = heldMessages;
  heldMessages = nullptr;
  for (const Held& message : *held) {
    const QMessageLogContext context(nullptr, 0, nullptr, message.category.c_str());
    if (previousHandler) previousHandler(message.type, context, message.text);
  }
  delete held;
}

}  // namespace quimbel
