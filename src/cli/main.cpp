#include <cstdio>
#include <string_view>
#include <vector>

#include "app/instrument.h"
#include "cli/cli.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  quimbel                          start the instrument\n"
    "  quimbel --version                print the version\n"
    "  quimbel --help                   this text\n"
    "  quimbel chords [--key NAME] [--knob K] [--sevenths] [--ninths] [--strum]\n"
    "                 [--no-bass] [--bpm B] [--json]\n"
    "                                   the seven pad chords of a key\n"
    "  quimbel render TAKE.json [--midi FILE] [--wav FILE [--wav-rate HZ]] [--video FILE] "
    "[--events]\n"
    "                                   export a take\n"
    "  quimbel screen SNAPSHOT.json [--now MS] [--png FILE] [--scale N]\n"
    "                                   compose one pixel screen\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  using namespace quimbel::cli;
  if (args.empty()) return quimbel::runInstrument(argc, argv);
  std::string_view command = args.front();
  Args rest(args.data() + 1, args.size() - 1);
  if (command == "--version") {
    std::printf("Quimbel %s (%s)\n", QUIMBEL_VERSION, QUIMBEL_BUILD);
    return 0;
  }
  if (command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (command == "chords") return runChords(rest);
  if (command == "render") return runRender(rest);
  if (command == "screen") return runScreen(rest);
  usageError(command, "unknown command (see quimbel --help)");
  return 2;
}
