// The model's side of the video export: what the video shows (a copy of the
// finished take, heard at the panel's volume) and whether a finished render
// still shows the take. The job runs the render and keeps its file.
//
// Thread contract: main thread only; the render's thread belongs to the job.

#include <utility>

#include "model/pad_model.h"

namespace quimbel {

std::optional<std::filesystem::path> PadModel::cachedVideo() const {
  return video_.cached(takeID_);
}

void PadModel::setVideoMaker(VideoMaker maker) {
  videoIcon_ = std::move(maker.icon);
  if (!maker.render) return video_.setRender({});
  // Each video goes into a fresh take folder, made beside the render.
  video_.setRender([render = std::move(maker.render)](const VideoExport& record) {
    const Written folder = makeTakeFolder();
    return folder ? render(record, *folder.file / kVideoFileName) : folder;
  });
}

void PadModel::withVideo(VideoCallback callback) {
  if (auto url = cachedVideo()) {
    if (callback) callback(*url);
    return;
  }
  video_.wait([callback = std::move(callback)](const Written& written) {
    if (callback) callback(written.file);
  });
  if (video_.rendering()) return;
  if (state_ != State::done) return;

  VideoExport record;
  record.events = events_;
  record.taken = events_.empty() ? taken_ : loopLength_;
  record.key = key_;
  record.knob = knob_;
  record.volume = static_cast<float>(volume_.get() * volume_.get());
  if (videoIcon_) record.icon = videoIcon_();
  video_.start(takeID_, std::move(record));
}

bool PadModel::videoStillCurrent(int takeID, const VideoExport& rendered) const {
  // The take number changes only when a new recording starts; a quantize
  // toggle during the render changes the hits under the same number, and a
  // video of the old hits must not pass for the new take.
  return takeID_ == takeID && events_ == rendered.events &&
         (events_.empty() ? taken_ : loopLength_) == rendered.taken;
}

}  // namespace quimbel
