#pragma once

// The audio export of the finished take as a job, as the video's is: one
// render at a time on a background thread, so that the panel and the loop's
// look-ahead never wait for a long take; its file cached for the take it
// plays, and every caller who asks while it renders answered when it ends.
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

#include "base/main_thread.h"
#include "files/written.h"
#include "model/published.h"
#include "music/take.h"

namespace quimbel {

class AudioJob {
 public:
  // Answered with the take's file, or with why there is none.
  using Callback = std::function<void(const Written&)>;
  // Writes the take's file; runs on the background thread.
  using Render = std::function<Written(const Take&)>;
  // Asked when a render ends: does what it played still sound as take
  // `takeID` does now? Only then is the file cached and handed out.
  using StillCurrent = std::function<bool(int takeID, const Take& rendered)>;

  AudioJob(MainThread& mainThread, Render render, StillCurrent stillCurrent);
  AudioJob(const AudioJob&) = delete;
  AudioJob& operator=(const AudioJob&) = delete;

  const Published<bool>& rendering() const { return rendering_; }
  // The cached file when it belongs to take `takeID`.
  std::optional<std::filesystem::path> cached(int takeID) const;
  // Why the last render gave no file; empty once a new one starts.
  const std::string& failure() const { return failure_; }
  // The take's hits changed: the cached file no longer plays them.
  void forget() { file_.reset(); }

  // Queues a caller for the end of the running render, or of the next one.
  void wait(Callback callback) { waiters_.push_back(std::move(callback)); }
  // Renders `take` as take `takeID`. Only while no render runs.
  void start(int takeID, Take take);
  // Blocks until a running render has handed its completion to the main
  // thread (which still has to run it).
  void await();

 private:
  void finished(int takeID, const Take& rendered, const Written& written);

  MainThread& mainThread_;
  Render render_;
  StillCurrent stillCurrent_;
  Published<bool> rendering_{false};
  std::optional<std::pair<int, std::filesystem::path>> file_;
  std::string failure_;
  std::vector<Callback> waiters_;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Last, so that it is joined before anything else of the job goes.
  std::jthread thread_;
};

}  // namespace quimbel
