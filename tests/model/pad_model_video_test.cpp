// The pad model's video cache and waiters, with a stand-in renderer that
// blocks until the test lets it finish: the real export is tested with the
// export itself.

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "model/model_rig.h"

namespace quimbel {
namespace {

using testing::ModelRig;
using Answer = std::optional<std::filesystem::path>;

// A renderer held at a gate: each render records its input and waits until
// the test opens the gate, then succeeds or fails with `error`.
class GatedRenderer {
 public:
  PadModel::VideoMaker maker() {
    return {[this](const VideoExport& record, const std::filesystem::path& url) {
              std::unique_lock lock(mutex_);
              records_.push_back(record);
              urls_.push_back(url);
              opened_.wait(lock, [this] { return open_; });
              if (!error_.empty()) return Written{std::nullopt, error_};
              return Written{url, {}};
            },
            [] {
              VideoBitmap icon;
              icon.width = 1;
              icon.height = 1;
              icon.bgra = {1, 2, 3, 255};
              return std::optional<VideoBitmap>(icon);
            }};
  }
  void failWith(std::string error) { error_ = std::move(error); }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    opened_.notify_all();
  }
  std::vector<VideoExport> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }
  std::vector<std::filesystem::path> urls() {
    std::lock_guard lock(mutex_);
    return urls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
  std::string error_;
  std::vector<VideoExport> records_;
  std::vector<std::filesystem::path> urls_;
};

class PadModelVideoTest : public ::testing::Test {
 protected:
  void SetUp() override { rig->setVideoMaker(renderer.maker()); }
  void TearDown() override {
    renderer.open();  // a render still at the gate must be able to end
    for (const auto& url : renderer.urls()) {
      std::error_code ignored;
      std::filesystem::remove_all(url.parent_path(), ignored);
    }
  }

  // Two hits off the eighth-note grid, so that quantize moves them.
  void finishTake() {
    ChordHit first = rig->hitFor(0);
    ChordHit second = rig->hitFor(4);
    first.t = 0.13;
    second.t = 1.37;
    rig->finishRecording({first, second}, 2.0);
    ASSERT_EQ(rig->state(), PadState::done);
  }

  PadModel::VideoCallback answerInto(std::vector<Answer>& answers) {
    return [&answers](Answer url) { answers.push_back(std::move(url)); };
  }

  // Lets the render end and runs its completion on the (virtual) main thread.
  void finishRender() {
    renderer.open();
    rig->awaitVideoRender();
    rig.main.runPending();
  }

  GatedRenderer renderer;
  ModelRig rig;
};

TEST_F(PadModelVideoTest, ClicksDuringOneRenderAreAnsweredInOrderByIt) {
  finishTake();
  rig->setVolume(0.5);
  std::vector<Answer> answers;
  std::vector<int> order;
  rig->withVideo([&](Answer url) {
    order.push_back(1);
    answers.push_back(url);
  });
  EXPECT_TRUE(rig->videoRendering());
  rig->withVideo([&](Answer url) {
    order.push_back(2);
    answers.push_back(url);
  });
  EXPECT_EQ(rig->videoWaiterCount(), 2u);
  EXPECT_FALSE(rig->cachedVideo());

  finishRender();
  ASSERT_EQ(renderer.records().size(), 1u);
  const std::filesystem::path url = renderer.urls()[0];
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(answers, (std::vector<Answer>{url, url}));
  EXPECT_FALSE(rig->videoRendering());
  EXPECT_EQ(rig->videoWaiterCount(), 0u);
  EXPECT_EQ(rig->cachedVideo(), url);

  // The record is a copy of the finished take at the time of the click.
  const std::vector<VideoExport> records = renderer.records();
  const VideoExport& record = records[0];
  EXPECT_EQ(record.events, rig->events());
  EXPECT_EQ(record.taken, rig->loopLength());
  EXPECT_EQ(record.key, rig->key().get());
  EXPECT_EQ(record.knob, rig->knob().get());
  EXPECT_FLOAT_EQ(record.volume, 0.25f);
  ASSERT_TRUE(record.icon);
  EXPECT_EQ(record.icon->width, 1);
  EXPECT_EQ(url.filename(), "Quimbel take.mp4");
  EXPECT_EQ(url.parent_path().parent_path().filename(), "Takes");

  // Cached: answered at once, without another render.
  rig->withVideo(answerInto(answers));
  EXPECT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers.back(), url);
  EXPECT_EQ(renderer.records().size(), 1u);
}

TEST_F(PadModelVideoTest, TakeRecordedAgainDuringTheRenderGetsNothing) {
  finishTake();
  std::vector<Answer> answers;
  rig->withVideo(answerInto(answers));
  const int before = rig->takeID();
  rig->toggleRecord();
  rig.runFor(2.5);  // the count-in ends and a new recording starts
  ASSERT_NE(rig->takeID(), before);

  finishRender();
  EXPECT_EQ(answers, (std::vector<Answer>{std::nullopt}));
  EXPECT_FALSE(rig->video());
  EXPECT_FALSE(rig->cachedVideo());
  EXPECT_FALSE(rig->videoRendering());
}

TEST_F(PadModelVideoTest, QuantizeChangedDuringTheRenderGetsNothingAndRendersAgain) {
  finishTake();
  std::vector<Answer> answers;
  rig->withVideo(answerInto(answers));
  const std::vector<ChordHit> rendered = rig->events();
  rig->setQuantize(!rig->quantize());
  ASSERT_NE(rig->events(), rendered);

  finishRender();
  EXPECT_EQ(answers, (std::vector<Answer>{std::nullopt}));
  EXPECT_FALSE(rig->cachedVideo());

  rig->withVideo(answerInto(answers));
  rig.main.runPending();
  rig->awaitVideoRender();
  rig.main.runPending();
  ASSERT_EQ(renderer.records().size(), 2u);
  EXPECT_EQ(renderer.records()[1].events, rig->events());
  EXPECT_EQ(answers.back(), renderer.urls()[1]);
}

TEST_F(PadModelVideoTest, FailedRenderIsLoggedAndAnswersNothing) {
  finishTake();
  renderer.failWith("cannot write the video: No space left on device");
  std::vector<Answer> answers;
  rig->withVideo(answerInto(answers));
  rig->withVideo(answerInto(answers));
  ::testing::internal::CaptureStderr();
  finishRender();
  const std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(
      console.find("Quimbel: the video failed: cannot write the video: No space left on device"),
      std::string::npos)
      << console;
  EXPECT_EQ(answers, (std::vector<Answer>{std::nullopt, std::nullopt}));
  EXPECT_FALSE(rig->video());
  EXPECT_FALSE(rig->videoRendering());
}

TEST_F(PadModelVideoTest, CallbackBeforeATakeWaitsForTheNextRender) {
  std::vector<Answer> early;
  rig->withVideo(answerInto(early));
  EXPECT_FALSE(rig->videoRendering());
  EXPECT_EQ(rig->videoWaiterCount(), 1u);
  EXPECT_TRUE(renderer.records().empty());

  finishTake();
  std::vector<Answer> later;
  rig->withVideo(answerInto(later));
  finishRender();
  ASSERT_EQ(renderer.urls().size(), 1u);
  EXPECT_EQ(early, (std::vector<Answer>{renderer.urls()[0]}));
  EXPECT_EQ(later, (std::vector<Answer>{renderer.urls()[0]}));
}

TEST_F(PadModelVideoTest, WithoutARendererTheVideoFails) {
  rig->setVideoMaker({});
  finishTake();
  std::vector<Answer> answers;
  rig->withVideo(answerInto(answers));
  ::testing::internal::CaptureStderr();
  rig->awaitVideoRender();
  rig.main.runPending();
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Quimbel: the video failed: "),
            std::string::npos);
  EXPECT_EQ(answers, (std::vector<Answer>{std::nullopt}));
}

TEST_F(PadModelVideoTest, CompletionAfterTheModelIsGoneDoesNothing) {
  finishTake();
  bool called = false;
  rig->withVideo([&called](Answer) { called = true; });
  renderer.open();
  rig.model.reset();  // joins the render, whose completion is still queued
  rig.main.runPending();
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace quimbel
