// The pad model's video cache and waiters, with a stand-in renderer held at a
// gate until the test opens it: the real export is tested with the export.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "model/model_rig.h"

namespace quimbel {
namespace {

using Answer = std::optional<std::filesystem::path>;

class PadModelVideoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto render = [this](const VideoExport& record, const std::filesystem::path& url) {
      std::unique_lock lock(mutex_);
      records_.push_back(record);
      urls_.push_back(url);
      opened_.wait(lock, [this] { return open_; });
      return error_.empty() ? Written{url, {}} : Written{std::nullopt, error_};
    };
    rig->setVideoMaker({render, [] { return std::optional<VideoBitmap>(); }});
    finishTake();
  }
  // Two hits off the eighth-note grid, so that quantize moves them.
  void finishTake() {
    ChordHit first = rig->hitFor(0), second = rig->hitFor(4);
    first.t = 0.13;
    second.t = 1.37;
    rig->finishRecording({first, second}, 2.0);
  }
  void TearDown() override {
    openGate();  // a render still at the gate must be able to end
    for (const auto& url : urls_) std::filesystem::remove_all(url.parent_path());
  }
  void openGate() {
    std::lock_guard lock(mutex_);
    open_ = true, opened_.notify_all();
  }
  // Lets the render end and runs its completion on the (virtual) main thread.
  void finishRender() {
    openGate();
    rig->awaitVideoRender();
    rig.main.runPending();
  }
  static PadModel::VideoCallback into(std::vector<Answer>& a) {
    return [&a](Answer url) { a.push_back(std::move(url)); };
  }

  testing::ModelRig rig;
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  std::string error_;
  std::vector<VideoExport> records_;
  std::vector<std::filesystem::path> urls_;
};

TEST_F(PadModelVideoTest, ClicksDuringOneRenderAreAnsweredInOrderThenTheCacheAnswers) {
  rig->setVolume(0.5);
  std::vector<Answer> answers;
  rig->withVideo(into(answers)), rig->withVideo(into(answers));

  finishRender();
  ASSERT_EQ(records_.size(), 1u);
  EXPECT_EQ(answers, (std::vector<Answer>{urls_[0], urls_[0]}));
  // The record is a copy of the finished take, heard at volume squared.
  EXPECT_EQ(records_[0].events, rig->events());
  EXPECT_FLOAT_EQ(records_[0].volume, 0.25f);

  rig->withVideo(into(answers));  // cached: at once, no new render
  EXPECT_EQ(answers.size(), 3u);
  EXPECT_EQ(records_.size(), 1u);
}

TEST_F(PadModelVideoTest, ChangedTakeOrFailedRenderAnswersNothingAndCachesNothing) {
  // Re-recorded, quantize toggled (same take number, moved hits), render failed.
  for (int c = 0; c < 3; ++c) {
    finishTake();
    error_ = c == 2 ? "No space left" : "";
    open_ = false;
    std::vector<Answer> answers;
    rig->withVideo(into(answers));
    if (c == 0) rig->toggleRecord(), rig.runFor(2.5);
    if (c == 1) rig->setQuantize(!rig->quantize());
    finishRender();
    EXPECT_EQ(answers, (std::vector<Answer>{std::nullopt})) << c;
    EXPECT_FALSE(rig->cachedVideo()) << c;
    EXPECT_FALSE(rig->videoRendering()) << c;
  }
}

TEST_F(PadModelVideoTest, CompletionAfterTheModelIsGoneDoesNothing) {
  bool called = false;
  rig->withVideo([&called](Answer) { called = true; });
  openGate();
  rig.model.reset();  // joins the render, whose completion is still queued
  rig.main.runPending();
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace quimbel
