#pragma once

namespace quimbel {

// Starts the instrument: the tray icon, the panel and the sound, until the
// user quits. Returns the process's exit status.
int runInstrument(int argc, char** argv);

}  // namespace quimbel
