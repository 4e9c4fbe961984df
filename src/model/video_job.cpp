#include "model/video_job.h"

#include "diagnostics/report.h"

namespace quimbel {

VideoJob::VideoJob(MainThread& mainThread, StillCurrent stillCurrent)
    : mainThread_(mainThread), stillCurrent_(std::move(stillCurrent)) {}

std::optional<std::filesystem::path> VideoJob::cached(int takeID) const {
  if (video_ && video_->first == takeID) return video_->second;
  return std::nullopt;
}

void VideoJob::start(int takeID, VideoExport record) {
  rendering_ = true;
  if (maker_.icon) record.icon = maker_.icon();
  const std::filesystem::path url = makeTakeFolder() / kVideoFileName;

  // The previous render has posted its completion already (that is what
  // cleared `rendering`); its thread only has to be collected.
  if (thread_.joinable()) thread_.join();
  thread_ = std::jthread([this, record = std::move(record), url, takeID, render = maker_.render,
                          alive = std::weak_ptr<int>(alive_), &main = mainThread_] {
    std::string error;
    if (!render) {
      error = "this build cannot make videos";
    } else if (Written written = render(record, url); !written) {
      error = written.error.empty() ? std::string("the video could not be written") : written.error;
    }
    main.post([this, alive, takeID, record, url, error] {
      if (alive.lock()) finished(takeID, record, url, error);
    });
  });
}

void VideoJob::await() {
  if (thread_.joinable()) thread_.join();
}

void VideoJob::finished(int takeID, const VideoExport& rendered, const std::filesystem::path& url,
                        const std::string& error) {
  if (!error.empty()) diagnostics::consoleLine("the video failed: " + error);
  rendering_ = false;
  const bool good = error.empty() && stillCurrent_(takeID, rendered);
  if (good) video_ = std::make_pair(takeID, url);

  std::vector<Callback> waiters;
  waiters.swap(waiters_);
  for (Callback& callback : waiters) {
    if (!callback) continue;
    if (good) {
      callback(url);
    } else {
      callback(std::nullopt);
    }
  }
}

}  // namespace quimbel
