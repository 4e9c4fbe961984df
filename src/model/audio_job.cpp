#include "model/audio_job.h"

#include "diagnostics/report.h"

namespace quimbel {

AudioJob::AudioJob(MainThread& mainThread, Render render, StillCurrent stillCurrent)
    : mainThread_(mainThread), render_(std::move(render)), stillCurrent_(std::move(stillCurrent)) {}

std::optional<std::filesystem::path> AudioJob::cached(int takeID) const {
  if (file_ && file_->first == takeID) return file_->second;
  return std::nullopt;
}

void AudioJob::start(int takeID, Take take) {
  rendering_ = true;
  failure_.clear();
  // The previous render has posted its completion already (that is what
  // cleared `rendering`); its thread only has to be collected.
  if (thread_.joinable()) thread_.join();
  thread_ = std::jthread([this, take = std::move(take), takeID, render = render_,
                          alive = std::weak_ptr<int>(alive_), &main = mainThread_] {
    Written written = render ? render(take) : Written{std::nullopt, "this build cannot make audio"};
    if (!written && written.error.empty()) written.error = "the audio could not be written";
    main.post([this, alive, takeID, take, written] {
      if (alive.lock()) finished(takeID, take, written);
    });
  });
}

void AudioJob::await() {
  if (thread_.joinable()) thread_.join();
}

void AudioJob::finished(int takeID, const Take& rendered, const Written& written) {
  rendering_ = false;
  Written answer = written;
  if (answer && !stillCurrent_(takeID, rendered)) {
    answer = {std::nullopt, "the take changed while it was being made; try again"};
  }
  if (answer) {
    file_ = std::make_pair(takeID, *answer.file);
  } else {
    failure_ = answer.error;
    diagnostics::logLine("[audio] export failed: " + answer.error);
  }
  std::vector<Callback> waiters;
  waiters.swap(waiters_);
  for (Callback& callback : waiters) {
    if (callback) callback(answer);
  }
}

}  // namespace quimbel
