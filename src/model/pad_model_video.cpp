// The video export of the finished take: one render at a time on a
// background thread, cached per take, with every caller that asks during a
// render answered by it.
//
// Thread contract: everything here runs on the main thread except the
// render itself, which owns a copy of the take and reaches the model only by
// posting its completion to the main thread.

#include <utility>

#include "diagnostics/report.h"
#include "model/pad_model.h"

namespace quimbel {

void PadModel::setVideoMaker(VideoMaker maker) { videoMaker_ = std::move(maker); }

std::optional<std::filesystem::path> PadModel::cachedVideo() const {
  if (video_ && video_->first == takeID_) return video_->second;
  return std::nullopt;
}

void PadModel::withVideo(VideoCallback callback) {
  if (auto url = cachedVideo()) {
    if (callback) callback(*url);
    return;
  }
  videoWaiters_.push_back(std::move(callback));
  if (videoRendering_) return;
  if (state_ != State::done) return;

  videoRendering_ = true;
  const int id = takeID_;
  VideoExport record;
  record.events = events_;
  record.taken = events_.empty() ? taken_ : loopLength_;
  record.key = key_;
  record.knob = knob_;
  record.volume = static_cast<float>(volume_.get() * volume_.get());
  if (videoMaker_.icon) record.icon = videoMaker_.icon();
  const Written folder = makeTakeFolder();
  const std::filesystem::path url =
      folder ? *folder.file / kVideoFileName : std::filesystem::path();

  // The previous render has posted its completion already (that is what
  // cleared videoRendering); its thread only has to be collected.
  if (videoThread_.joinable()) videoThread_.join();
  videoThread_ = std::jthread([this, record, url, id, render = videoMaker_.render,
                               folderError = folder.error, alive = std::weak_ptr<int>(videoAlive_),
                               &main = mainThread_] {
    std::string error;
    if (url.empty()) {
      error = folderError;
    } else if (!render) {
      error = "this build cannot make videos";
    } else if (Written written = render(record, url); !written) {
      error = written.error.empty() ? std::string("the video could not be written") : written.error;
    }
    main.post([this, alive, id, record, url, error] {
      if (alive.lock()) videoFinished(id, record, url, error);
    });
  });
}

void PadModel::awaitVideoRender() {
  if (videoThread_.joinable()) videoThread_.join();
}

void PadModel::videoFinished(int takeID, const VideoExport& rendered,
                             const std::filesystem::path& url, const std::string& error) {
  if (!error.empty()) diagnostics::consoleLine("the video failed: " + error);
  videoRendering_ = false;
  // The take number changes only when a new recording starts; a quantize
  // toggle during the render changes the hits under the same number, and a
  // video of the old hits must not pass for the new take.
  const bool sameTake = takeID_ == takeID && events_ == rendered.events &&
                        (events_.empty() ? taken_ : loopLength_) == rendered.taken;
  const bool good = error.empty() && sameTake;
  if (good) video_ = std::make_pair(takeID, url);

  std::vector<VideoCallback> waiters;
  waiters.swap(videoWaiters_);
  for (VideoCallback& callback : waiters) {
    if (!callback) continue;
    if (good) {
      callback(url);
    } else {
      callback(std::nullopt);
    }
  }
}

}  // namespace quimbel
