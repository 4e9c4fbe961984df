#pragma once

// The video export of the finished take as a job: one render at a time on a
// background thread, its file cached for the take it shows, and every caller
// who asks while a render runs answered when it ends.
//
// Thread contract: everything here runs on the main thread except the render
// itself, which owns a copy of the take and reaches the job only by posting
// its completion to the main thread. A completion that arrives after the job
// is gone does nothing; the job joins a running render as it goes.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "diagnostics/main_thread.h"
#include "export/video_export.h"
#include "files/written.h"
#include "model/published.h"

namespace quimbel {

class VideoJob {
 public:
  // Answered with the take's video, or with nothing.
  using Callback = std::function<void(std::optional<std::filesystem::path>)>;
  // How videos are made. The program hands in the real export, which draws
  // with Qt; without a renderer every render fails. `render` runs on a
  // background thread with its own copy of the record; `icon` runs on the
  // main thread.
  struct Maker {
    std::function<Written(const VideoExport&, const std::filesystem::path&)> render;
    std::function<std::optional<VideoBitmap>()> icon;
  };
  // Asked when a render ends: does what it drew still show take `takeID` as
  // the take is now? Only then is the file cached and handed out.
  using StillCurrent = std::function<bool(int takeID, const VideoExport& rendered)>;

  VideoJob(MainThread& mainThread, StillCurrent stillCurrent);
  VideoJob(const VideoJob&) = delete;
  VideoJob& operator=(const VideoJob&) = delete;

  void setMaker(Maker maker) { maker_ = std::move(maker); }
  const Published<bool>& rendering() const { return rendering_; }
  // The cached video when it belongs to take `takeID`.
  std::optional<std::filesystem::path> cached(int takeID) const;
  const std::optional<std::pair<int, std::filesystem::path>>& video() const { return video_; }
  // The take's hits changed: the cached file no longer shows them.
  void forget() { video_.reset(); }

  // Queues a caller for the end of the running render, or of the next one.
  void wait(Callback callback) { waiters_.push_back(std::move(callback)); }
  std::size_t waiterCount() const { return waiters_.size(); }
  // Renders `record` (given the maker's icon here) as take `takeID` into a
  // fresh take folder. Only while no render runs.
  void start(int takeID, VideoExport record);
  // Blocks until a running render has handed its completion to the main
  // thread (which still has to run it).
  void await();

 private:
  void finished(int takeID, const VideoExport& rendered, const std::filesystem::path& url,
                const std::string& error);

  MainThread& mainThread_;
  StillCurrent stillCurrent_;
  Maker maker_;
  Published<bool> rendering_{false};
  std::optional<std::pair<int, std::filesystem::path>> video_;
  std::vector<Callback> waiters_;
  // The completion of a render checks this token on the main thread, so a
  // render that outlives the job touches nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Last, so that it is joined before anything else of the job goes: the
  // render itself shares nothing with the job.
  std::jthread thread_;
};

}  // namespace quimbel
