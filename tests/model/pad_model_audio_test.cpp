// The pad model's audio export of a long take: rendered on a background
// thread while the main thread keeps the loop fed, then cached for the take.

#include <gtest/gtest.h>

#include <set>

#include "files/scratch.h"
#include "model/model_rig.h"

namespace quimbel {
namespace {

TEST(PadModelAudioTest, ATenMinuteTakeRendersBesideTheLoopAndIsCachedUntilQuantizeChangesIt) {
  ScratchDir cache;
  testing::ModelRig rig;
  // A chord every half second for ten minutes.
  std::vector<ChordHit> hits;
  for (int i = 0; i < 1200; ++i) {
    ChordHit hit = rig->hitFor(i % 7);
    hit.t = 0.5 * i + 0.01;
    hits.push_back(std::move(hit));
  }
  rig->finishRecording(std::move(hits), 600.0);
  rig->togglePlay();
  rig.runFor(0.2);

  std::vector<Written> answers;
  rig->withAudio([&answers](const Written& written) { answers.push_back(written); });
  // The render's end reaches the model only through the main thread, which
  // the test has not run yet: the call returned before the render finished.
  EXPECT_TRUE(answers.empty() && rig->audioRendering());

  // The loop keeps its look-ahead meanwhile: chords light up as they sound.
  std::set<int> lit;
  rig.afterBuffer = [&] {
    for (int pad : rig->held().get()) lit.insert(pad);
  };
  rig.runFor(3.0);
  EXPECT_GE(lit.size(), 5u) << "the loop went on while the audio rendered";
  rig.afterBuffer = nullptr;

  rig->awaitAudioRender();
  rig.main.runPending();
  ASSERT_EQ(answers.size(), 1u);
  ASSERT_TRUE(answers[0]) << answers[0].error;
  EXPECT_EQ(answers[0].file->filename(), "my chords.wav");
  EXPECT_GT(std::filesystem::file_size(*answers[0].file), 600u * 44100u * 4u);
  EXPECT_FALSE(rig->audioRendering());

  // Cached: answered at once, no render.
  rig->withAudio([&answers](const Written& written) { answers.push_back(written); });
  EXPECT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[1].file, answers[0].file);
  // Quantize moves the hits: the file no longer plays the take.
  rig->setQuantize(false);
  EXPECT_FALSE(rig->cachedAudio());
}

}  // namespace
}  // namespace quimbel
