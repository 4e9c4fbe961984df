// `quimbel render`: a take document played into the pad model as the
// instrument would have recorded it, then handed to the panel's exporters.

#include "cli/cli_render.h"

#include <QGuiApplication>
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <system_error>
#include <variant>
#include <vector>

#include "audio/audio_export.h"
#include "audio/offline_render.h"
#include "audio/on_demand_backend.h"
#include "audio/wav_writer.h"
#include "base/manual_main_thread.h"
#include "cli/cli.h"
#include "export/midi_file.h"
#include "export/video_export.h"
#include "export/video_frames.h"
#include "model/pad_model.h"

namespace quimbel::cli {

namespace {

const char kRenderUsage[] =
    "usage: quimbel render TAKE.json [--midi FILE] [--wav FILE [--wav-rate HZ]] [--video FILE] "
    "[--events]\n"
    "  --midi FILE      the take as a Standard MIDI File\n"
    "  --wav FILE       the take rendered as a WAV file\n"
    "  --wav-rate HZ    44100 (the default), 48000 or 96000\n"
    "  --video FILE     the take as an MP4 video\n"
    "  --events         print the finished take as JSON\n";

constexpr int kWavRates[] = {44100, 48000, 96000};

// Shortest text that reads back to the same double; whole numbers keep a
// ".0" so that a time never reads as a count.
std::string number(double value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("0");
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

const char* flag(bool on) { return on ? "true" : "false"; }

// The video draws its text through Qt, which needs an application object
// while it draws; a headless shell gets the off-screen platform. The object
// lives for one video and is torn down with everything Qt set up for it.
std::unique_ptr<QGuiApplication> makeGuiApplication() {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static int argc = 1;
  static char name[] = "quimbel";
  static char* argv[] = {name, nullptr};
  // Qt's notes about the session (no runtime folder, no display) are not the
  // user's concern here; real errors still show.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
      std::fprintf(stderr, "quimbel: %s\n", text.toLocal8Bit().constData());
  });
  return std::make_unique<QGuiApplication>(argc, argv);
}

int writeFailed(const std::string& what) {
  std::fprintf(stderr, "quimbel: %s\n", what.c_str());
  return 1;
}

Written writeMidi(const Take& take, const std::filesystem::path& destination) {
  return writeFileAside(destination, midiFileData(take.events, take.bpm));
}

// Renders as the panel's audio export does, at the session's rate.
Written writeWav(const Take& take, int rate, const std::filesystem::path& destination) {
  const StereoBuffer audio = renderOffline(take.events, audioExportSeconds(take),
                                           take.volume * take.volume, static_cast<double>(rate));
  return writeWavFile(audio.left, audio.right, rate, destination);
}

// The model makes the video in a scratch folder (it needs room for its
// intermediate streams); the finished file is copied into place.
Written writeVideo(RecordedTake& recorded, const std::filesystem::path& destination) {
  const auto app = makeGuiApplication();
  const Written made = recorded.video();
  Written placed = made ? placeFile(*made.file, destination)
                        : Written{std::nullopt, destination.string() +
                                                    ": the video could not be made: " + made.error};
  if (made) {
    std::error_code ignored;
    std::filesystem::remove_all(made.file->parent_path(), ignored);
  }
  return placed;
}

struct Request {
  std::string takeFile;
  std::optional<std::string> midi;
  std::optional<std::string> wav;
  std::optional<std::string> video;
  std::optional<int> wavRate;
  bool events = false;
};

// Reads the arguments; returns an exit status when they are not usable (or
// --help was asked for).
std::variant<Request, int> readArguments(Args args) {
  Request request;
  bool haveTake = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kRenderUsage, stdout);
      return 0;
    }
    if (arg == "--events") {
      request.events = true;
      continue;
    }
    if (arg == "--midi" || arg == "--wav" || arg == "--video" || arg == "--wav-rate") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usageError(arg, "needs a value");
      const std::string value(args[++i]);
      if (arg == "--wav-rate") {
        int rate = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), rate);
        const bool known =
            std::find(std::begin(kWavRates), std::end(kWavRates), rate) != std::end(kWavRates);
        if (ec != std::errc() || end != value.data() + value.size() || !known)
          return usageError(arg, "must be 44100, 48000 or 96000");
        request.wavRate = rate;
        continue;
      }
      auto& slot = arg == "--midi" ? request.midi : arg == "--wav" ? request.wav : request.video;
      if (slot) return usageError(arg, "given twice");
      slot = value;
      continue;
    }
    if (arg.size() > 1 && arg.front() == '-') {
      return usageError(arg, "unknown option (see quimbel render --help)");
    }
    if (haveTake) return usageError(arg, "only one take document");
    request.takeFile = std::string(arg);
    haveTake = true;
  }
  if (!haveTake) return usageError("render", "needs a TAKE.json file (see quimbel render --help)");
  if (request.wavRate && !request.wav) return usageError("--wav-rate", "needs --wav FILE");
  return request;
}

}  // namespace

struct RecordedTake::Parts {
  ManualClock clock;
  ManualMainThread mainThread{clock};
  OnDemandBackend silent;  // never pulled: no core is made, nothing sounds
  std::unique_ptr<PadModel> model;
};

RecordedTake::RecordedTake(const TakeDocument& doc) : parts_(std::make_unique<Parts>()) {
  parts_->model = std::make_unique<PadModel>(PadModel::Services{
      parts_->clock, parts_->mainThread, parts_->silent, [](RenderCore*, double) {},
      std::make_unique<MemorySettingsStore>(), nullptr, /*startMidi=*/false,
      /*reduceMotion=*/false});
  PadModel& model = *parts_->model;
  model.setKey(doc.key, false);
  model.setKnob(doc.knob);
  if (model.bass().get() != doc.bass) model.toggleBass();
  model.setBpm(doc.bpm);
  model.setVolume(doc.volume);
  model.setQuantize(doc.quantize);

  std::vector<ChordHit> hits;
  hits.reserve(doc.hits.size());
  for (const TakeDocument::Hit& played : doc.hits) {
    model.setModifier(PadModel::Modifier::tabKey, played.seventh);
    model.setModifier(PadModel::Modifier::shiftKey, played.ninth);
    model.setModifier(PadModel::Modifier::spaceKey, played.strum);
    model.updateModifiers(false);
    ChordHit hit = model.hitFor(played.pad, played.velocity);
    hit.t = played.t;
    hit.hold = played.hold;
    hits.push_back(std::move(hit));
  }
  model.finishRecording(std::move(hits), doc.length);
}

RecordedTake::~RecordedTake() = default;

std::optional<Take> RecordedTake::take() const { return parts_->model->take(); }

Written RecordedTake::video() {
  PadModel& model = *parts_->model;
  // Filled on the render thread, read after it has been joined.
  std::string failure;
  std::filesystem::path scratch;
  model.setVideoMaker(
      {[&failure, &scratch](const VideoExport& record, const std::filesystem::path& url) {
         scratch = url.parent_path();
         Written written = record.renderVideo(url);
         if (!written) failure = written.error;
         return written;
       },
       [] { return loadVideoIcon(); }});
  std::optional<std::filesystem::path> made;
  model.withVideo([&made](std::optional<std::filesystem::path> url) { made = std::move(url); });
  model.awaitVideoRender();
  parts_->mainThread.runPending();  // hands the finished render to the model
  model.setVideoMaker({});
  if (made) return {*made, {}};
  if (!scratch.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
  }
  return {std::nullopt, failure.empty() ? std::string("there is no finished take") : failure};
}

std::optional<Take> recordTake(const TakeDocument& doc) { return RecordedTake(doc).take(); }

std::string eventsJson(const Take& take) {
  std::string out = "{\"length\": " + number(take.length) + ", \"events\": [";
  for (std::size_t i = 0; i < take.events.size(); ++i) {
    const ChordHit& hit = take.events[i];
    if (i > 0) out += ", ";
    out += "{\"pad\": " + std::to_string(hit.pad) + ", \"t\": " + number(hit.t) + ", \"notes\": [";
    for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j)
      out += (j ? ", " : "") + std::to_string(hit.voicing.notes[j]);
    out += "], \"offsets\": [";
    for (std::size_t j = 0; j < hit.voicing.offsets.size(); ++j)
      out += (j ? ", " : "") + number(hit.voicing.offsets[j]);
    char color[8];
    std::snprintf(color, sizeof color, "#%06x", hit.shown.color & 0xFFFFFFu);
    out += "], \"gain\": " + number(static_cast<double>(hit.voicing.gain)) +
           ", \"velocity\": " + std::to_string(hit.velocity) + ", \"hold\": " + number(hit.hold) +
           ", \"seventh\": " + flag(hit.seventh) + ", \"ninth\": " + flag(hit.ninth) +
           ", \"length\": " + (hit.length ? number(*hit.length) : std::string("null")) +
           ", \"name\": " + jsonString(hit.shown.name) + ", \"color\": " + jsonString(color) + "}";
  }
  return out + "]}";
}

Written placeFile(const std::filesystem::path& made, const std::filesystem::path& destination) {
  std::ifstream in(made, std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    return {std::nullopt, destination.string() + ": the finished file could not be read back"};
  }
  return writeFileAside(destination, bytes);
}

int runRender(Args args) {
  auto arguments = readArguments(args);
  if (const int* status = std::get_if<int>(&arguments)) return *status;
  const Request& request = std::get<Request>(arguments);

  auto read = readTakeDocument(request.takeFile);
  if (const auto* error = std::get_if<DocumentError>(&read)) {
    return usageError(
        error->where.empty() ? request.takeFile : request.takeFile + ": " + error->where,
        error->what);
  }
  RecordedTake recorded(std::get<TakeDocument>(read));
  const std::optional<Take> take = recorded.take();
  if (!take) return usageError(request.takeFile + ": hits", "no hits, so there is no take");

  if (request.events) {
    const std::string line = eventsJson(*take) + "\n";
    if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
      return writeFailed("standard output: cannot be written");
  }
  // Every output is attempted; any that fails makes the run fail.
  int status = 0;
  if (request.midi) {
    if (Written w = writeMidi(*take, *request.midi); !w) status = writeFailed(w.error);
  }
  if (request.wav) {
    const int rate = request.wavRate.value_or(static_cast<int>(kAudioExportRate));
    if (Written w = writeWav(*take, rate, *request.wav); !w) status = writeFailed(w.error);
  }
  if (request.video) {
    if (Written w = writeVideo(recorded, *request.video); !w) status = writeFailed(w.error);
  }
  return status;
}

}  // namespace quimbel::cli
