// quimbel devices: the sound outputs the tray menu offers, one per line:
// Automatic, JACK with its server's name, rate and period when a server
// answers, then every output device by the name audio/output takes.

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "audio/jack_backend.h"
#include "audio/libjack_server.h"
#include "audio/portaudio_backend.h"

namespace quimbel::cli {

int runDevices(Args args) {
  if (!args.empty()) return usageError("devices", "takes no options");
  LibJackServer server;
  JackBackend jack(server);
  PortAudioBackend system;
  std::puts("Automatic");
  if (const std::string running = jack.describe(); !running.empty())
    std::printf("JACK (%s)\n", running.c_str());
  for (const std::string& name : system.outputDevices()) std::puts(name.c_str());
  return 0;
}

}  // namespace quimbel::cli
