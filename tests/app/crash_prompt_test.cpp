#include "app/crash_prompt.h"

#include <gtest/gtest.h>

#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "diagnostics/temp_folder.h"
#include "ui/offscreen_app.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

TEST(CrashPromptTest, TheQuestionWaitsForAQuietInstrumentWithoutModalWindows) {
  testing::offscreenApp();
  std::optional<PadState> state;
  bool busy = false;
  QtCrashPrompt prompt([&] { return state; }, [&] { return busy; }, nullptr);
  EXPECT_FALSE(prompt.mayAsk());  // no instrument yet
  for (const auto& [take, asks] : {std::pair{PadState::ready, true},
                                   {PadState::count, false},
                                   {PadState::rec, false},
                                   {PadState::done, true}}) {
    state = take;
    EXPECT_EQ(prompt.mayAsk(), asks) << static_cast<int>(take);
  }
  busy = true;
  EXPECT_FALSE(prompt.mayAsk());
  busy = false;
  // A window-modal sheet over the panel also waits.
  QWidget window;
  window.show();
  QDialog sheet(&window);
  sheet.setWindowModality(Qt::WindowModal);
  sheet.show();
  EXPECT_FALSE(prompt.mayAsk());
  sheet.hide();
  EXPECT_TRUE(prompt.mayAsk());
}

TEST(CrashPromptTest, WithoutAWorkingMailProgramTheReportIsSavedOverAnOldFile) {
  testing::offscreenApp();
  testing::TempFolder folder;
  const fs::path report = folder.path() / "Quimbel report 2026-12-07 1215.txt";
  std::ofstream(report) << "the report\n";
  const CrashPrompt::Fallback fallback{"Mail can’t send the report", "Save it…", "Save report…",
                                       "Cancel"};
  // Plays the user: saves in the alert, names the file, confirms the replacement.
  fs::path destination;
  QTimer user;
  QObject::connect(&user, &QTimer::timeout, &user, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      for (QAbstractButton* button : box->buttons()) {
        if (button->text() == "Save report…" || box->buttonRole(button) == QMessageBox::YesRole) {
          QTimer::singleShot(0, button, &QAbstractButton::click);
        }
      }
    } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
      dialog->selectFile(QString::fromStdString(destination.string()));
      // Later, as accepting opens the replacement question: the same timer
      // would not fire inside its own slot.
      QTimer::singleShot(0, dialog, [dialog] { static_cast<QDialog*>(dialog)->accept(); });
    }
  });
  user.start(5);

  // A missing command falls back at once; one that fails, when it ends.
  for (const char* command : {"quimbel-no-such-mail-program", "false"}) {
    SCOPED_TRACE(command);
    destination = folder.path() / (std::string(command) + ".txt");
    std::ofstream(destination) << "an older file";
    QtCrashPrompt prompt({}, {}, nullptr);
    prompt.setMailCommand(command);
    bool shown = false;
    QEventLoop ended;
    QObject::connect(&prompt, &QtCrashPrompt::fallbackShown, &ended, [&] {
      shown = true;
      ended.quit();
    });
    prompt.mail({"support@quimbel.app", "Quimbel report (1.0.0)", "body", report}, fallback);
    if (!shown) {
      QTimer::singleShot(10000, &ended, &QEventLoop::quit);
      ended.exec();
    }
    ASSERT_TRUE(shown);
    EXPECT_EQ((std::ostringstream() << std::ifstream(destination).rdbuf()).str(), "the report\n");
  }
}

}  // namespace
}  // namespace quimbel
