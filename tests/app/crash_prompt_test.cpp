#include "app/crash_prompt.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "diagnostics/temp_folder.h"

namespace quimbel {
namespace {

namespace fs = std::filesystem;

// One application per test, on the offscreen platform.
struct Application {
  int offscreen = setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int argc = 1;
  char name[13] = "quimbel-test";
  char* argv[2] = {name, nullptr};
  QApplication app{argc, argv};
};

std::string slurp(const fs::path& file) {
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}

TEST(CrashPromptTest, TheQuestionWaitsForAQuietInstrumentWithoutModalWindows) {
  Application application;
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
  Application application;
  testing::TempFolder folder;
  const fs::path report = folder.path() / "Quimbel report 2026-12-07 1215.txt";
  std::ofstream(report) << "the report\n";
  const CrashPrompt::Fallback fallback{"Mail can’t send the report", "Save it…", "Save report…",
                                       "Cancel"};
  // Plays the user: saves in the fallback alert, names the file, confirms
  // the replacement.
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
    EXPECT_EQ(slurp(destination), "the report\n");
  }
}

}  // namespace
}  // namespace quimbel
