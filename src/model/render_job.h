#pragma once

// An export of the finished take as a job (its audio file, its video): one
// render at a time on a background thread, so that the panel and the loop's
// look-ahead never wait for a long take; its file cached for the take it
// came from, and every caller who asks while it renders answered when it
// ends.
//
// Thread contract: everything here runs on the main thread except `render`,
// which gets its own copy of the record and reaches the job only by posting
// its completion to the main thread. A completion that arrives after the job
// is gone does nothing; the job joins a running render as it goes.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/main_thread.h"
#include "diagnostics/report.h"
#include "files/written.h"
#include "model/published.h"

namespace quimbel {

template <class Record>
class RenderJob {
 public:
  // Answered with the file, or with why there is none.
  using Callback = std::function<void(const Written&)>;
  // Writes the record's file; runs on the background thread.
  using Render = std::function<Written(const Record&)>;
  // Asked when a render ends: does what it rendered still match take
  // `takeID` as it is now? Only then is the file cached and handed out.
  using StillCurrent = std::function<bool(int takeID, const Record& rendered)>;
  // How the job's failures are put: the log's tag ("[audio] "), and the
  // reasons for a missing renderer and for a render that gave none.
  struct Words {
    std::string logTag;
    std::string noRenderer;
    std::string notWritten;
  };

  RenderJob(MainThread& mainThread, StillCurrent stillCurrent, Words words, Render render = {})
      : mainThread_(mainThread),
        stillCurrent_(std::move(stillCurrent)),
        words_(std::move(words)),
        render_(std::move(render)) {}
  RenderJob(const RenderJob&) = delete;
  RenderJob& operator=(const RenderJob&) = delete;

  void setRender(Render render) { render_ = std::move(render); }
  const Published<bool>& rendering() const { return rendering_; }
  // The cached file when it belongs to take `takeID`.
  std::optional<std::filesystem::path> cached(int takeID) const {
    if (file_ && file_->first == takeID) return file_->second;
    return std::nullopt;
  }
  // Why the last render gave no file; empty once a new one starts.
  const std::string& failure() const { return failure_; }
  // The take's hits changed: the cached file no longer matches them.
  void forget() { file_.reset(); }

  // Queues a caller for the end of the running render, or of the next one.
  void wait(Callback callback) { waiters_.push_back(std::move(callback)); }

  // Renders `record` as take `takeID`. Only while no render runs.
  void start(int takeID, Record record) {
    rendering_ = true;
    failure_.clear();
    // The previous render has posted its completion already (that is what
    // cleared `rendering`); its thread only has to be collected.
    if (thread_.joinable()) thread_.join();
    thread_ =
        std::jthread([this, record = std::move(record), takeID, render = render_, words = words_,
                      alive = std::weak_ptr<int>(alive_), &main = mainThread_] {
          Written written = render ? render(record) : Written{std::nullopt, words.noRenderer};
          if (!written && written.error.empty()) written.error = words.notWritten;
          main.post([this, alive, takeID, record, written] {
            if (alive.lock()) finished(takeID, record, written);
          });
        });
  }

  // Blocks until a running render has handed its completion to the main
  // thread (which still has to run it).
  void await() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void finished(int takeID, const Record& rendered, Written answer) {
    rendering_ = false;
    if (answer && !stillCurrent_(takeID, rendered))
      answer = {std::nullopt, "the take changed while it was being made; try again"};
    if (answer) {
      file_ = std::make_pair(takeID, *answer.file);
    } else {
      // Those who asked are answered with the reason, and may read it here.
      failure_ = answer.error;
      diagnostics::logLine(words_.logTag + "export failed: " + answer.error);
    }
    std::vector<Callback> waiters;
    waiters.swap(waiters_);
    for (Callback& callback : waiters) {
      if (callback) callback(answer);
    }
  }

  MainThread& mainThread_;
  StillCurrent stillCurrent_;
  Words words_;
  Render render_;
  Published<bool> rendering_{false};
  std::optional<std::pair<int, std::filesystem::path>> file_;
  std::string failure_;
  std::vector<Callback> waiters_;
  // The completion of a render checks this token on the main thread, so a
  // render that outlives the job touches nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  // Last, so that it is joined before anything else of the job goes: the
  // render itself shares nothing with the job.
  std::jthread thread_;
};

}  // namespace quimbel
