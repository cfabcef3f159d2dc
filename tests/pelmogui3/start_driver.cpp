// The program's entry, run as a process, with each message box printed on
// standard output (and answered with its default) instead of waiting for a
// click, and the main window closed as soon as the event loop runs.
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "pelmogui3/frmMain.h"
#include "pelmogui3/modMain.h"

namespace {

const char* IconName(modMain::BoxIcon icon) {
    switch (icon) {
    case modMain::BoxIcon::Information: return "information";
    case modMain::BoxIcon::Exclamation: return "exclamation";
    case modMain::BoxIcon::Question: return "question";
    case modMain::BoxIcon::Critical: return "critical";
    default: return "none";
    }
}

void CloseWhenShown() {
    QTimer::singleShot(0, [] {
        if (modMain::MainForm) {
            std::printf("WINDOW SHOWN %s\n", qPrintable(modMain::MainForm->windowTitle()));
            std::fflush(stdout);
            modMain::MainForm->close();
        }
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(CloseWhenShown)

int main(int argc, char** argv) {
    modMain::SetBoxHandler([](const modMain::BoxRecord& box) {
        std::printf("BOX[%s|%s] %s\n", qPrintable(box.title), IconName(box.icon), qPrintable(box.text));
        std::fflush(stdout);
        return box.defaultAnswer;
    });
    return modMain::Main(argc, argv);
}
