// Cost of redacting a typical log line, a whole crash report's worth of log,
// and lines built to make the patterns backtrack; and of writing a line.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "diagnostics/log.h"
#include "diagnostics/redaction.h"

namespace {

using quimbel::Redaction;

const Redaction& account() {
  static const Redaction redaction(Redaction::accountNames("adalove", "Ada King Lovelace"));
  return redaction;
}

void typicalLine(benchmark::State& state) {
  const std::string line =
      "[audio] engine started at 48000 Hz, latency 10.7 ms, samples from "
      "/home/adalove/.local/share/quimbel";
  for (auto _ : state) benchmark::DoNotOptimize(account().apply(line));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(typicalLine);

void reportOf64KiB(benchmark::State& state) {
  std::string report;
  while (report.size() < 65536) {
    report +=
        "2024-02-29 23:59:59.999 [quimbel] launch by Ada King Lovelace on Ada's iPhone "
        "from /Users/adalove/Music, mail ada@example.org\n";
  }
  for (auto _ : state) benchmark::DoNotOptimize(account().apply(report));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * report.size()));
}
BENCHMARK(reportOf64KiB)->Unit(benchmark::kMillisecond);

// Long runs that look like the start of an address, a path or a device name.
void backtrackingLine(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  std::string line;
  while (line.size() < bytes) line += "aaaaaaaaa.@b.c-Xyyyyyyyy/Volumes/";
  for (auto _ : state) benchmark::DoNotOptimize(account().apply(line));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(backtrackingLine)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void writeLine(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "quimbel-bench-XXXXXX").string();
  const std::filesystem::path folder = mkdtemp(pattern.data());
  {
    quimbel::DiagnosticsLog log(quimbel::DiagnosticsStore{folder}, account());
    for (auto _ : state) log.write("[audio] engine started at 48000 Hz from /home/adalove/x");
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(writeLine);

}  // namespace

BENCHMARK_MAIN();
