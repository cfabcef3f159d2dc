// Driver for bench/gui_bench.sh: the windowed application's own start, then
// either nothing ("start": the run ends as soon as the main window is up) or a
// Quick Load of the stored load file ("load"). Boxes are printed, not shown.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "pelmogui3/frmMain.h"
#include "pelmogui3/modMain.h"

namespace {

bool LoadToo = false;

void AfterShow() {
    QTimer::singleShot(0, [] {
        if (!modMain::MainForm) return;
        if (LoadToo) {
            modMain::MainForm->QuickLoad();
            std::printf("loaded: %s\n", modMain::UnitSettings.FileLoaded ? "yes" : "no");
        }
        modMain::MainForm->close();
    });
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(AfterShow)

int main(int argc, char** argv) {
    LoadToo = argc > 1 && std::strcmp(argv[1], "load") == 0;
    modMain::SetBoxHandler([](const modMain::BoxRecord& box) {
        std::printf("BOX[%s] %s\n", qPrintable(box.title), qPrintable(box.text));
        return box.defaultAnswer;
    });
    return modMain::Main(argc, argv);
}
