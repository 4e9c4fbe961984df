#include "app/crash_prompt.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <fstream>

#include "diagnostics/temp_folder.h"
#include "ui/offscreen_app.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

TEST(CrashPromptTest, TheQuestionWaitsForAQuietInstrumentWithoutModalWindows) {
  testing::offscreenApp();
  std::optional<PadState> state;
  QtCrashPrompt prompt([&] { return state; }, {}, nullptr);
  EXPECT_FALSE(prompt.mayAsk());  // no instrument yet
  for (const auto take : {PadState::count, PadState::rec, PadState::ready}) {
    state = take;
    EXPECT_EQ(prompt.mayAsk(), take == PadState::ready) << static_cast<int>(take);
  }
  // A window-modal sheet over the panel also waits.
  QWidget window;
  QDialog sheet(&window);
  sheet.setWindowModality(Qt::WindowModal);
  sheet.show();
  EXPECT_FALSE(prompt.mayAsk());
}

TEST(CrashPromptTest, WithoutAWorkingMailProgramTheReportIsSavedOverAnOldFile) {
  testing::offscreenApp();
  testing::TempFolder folder;
  const fs::path report = folder.path() / "Quimbel report 2026-12-07 1215.txt";
  std::ofstream(report) << "the report\n";
  const CrashPrompt::Fallback fallback{"Mail can’t send the report", "", "Save report…", "No"};
  const fs::path destination = folder.path() / "older.txt";
  std::ofstream(destination) << "an older file";
  // Plays the user: saves in the alert, names the file, confirms the replacement.
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, &user, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      for (QAbstractButton* button : box->buttons())
        if (button->text() == "Save report…" || box->buttonRole(button) == QMessageBox::YesRole)
          QTimer::singleShot(0, button, &QAbstractButton::click);
    } else if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      dialog->selectFile(QString::fromStdString(destination.string()));
      // Later, as accepting opens the replacement question: the same timer
      // would not fire inside its own slot.
      QTimer::singleShot(0, dialog, [dialog] { static_cast<QDialog*>(dialog)->accept(); });
    }
  });
  user.start(5);

  // A mail program that fails: the fallback comes when it ends.
  QtCrashPrompt prompt({}, {}, nullptr);
  prompt.setMailCommand("false");
  QEventLoop ended;
  QObject::connect(&prompt, &QtCrashPrompt::fallbackShown, &ended, &QEventLoop::quit);
  QTimer::singleShot(10000, &ended, &QEventLoop::quit);  // a test that fails, not one that hangs
  prompt.mail({"support@quimbel.app", "Quimbel report (1.0.0)", "body", report}, fallback);
  ended.exec();
  EXPECT_EQ(contents(destination), "the report\n");
}

}  // namespace
}  // namespace quimbel
