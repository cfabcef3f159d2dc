// Takes PNG pictures of the program's windows for looking at them (run by
// scripts/screenshots.sh under Xvfb): the main window with the toolbar at each
// edge and with the status bars hidden, the setup dialogs, the view window (also
// over control bytes), the status bar while a call runs, the about box, the help
// window and a few message boxes.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QSemaphore>
#include <QTimer>
#include <cstdio>

#include "pelmogui3/frmHelp.h"
#include "pelmogui3/frmMain.h"
#include "pelmogui3/modLib.h"
#include "pelmogui3/modMain.h"

namespace {

QString OutDir;

void Settle(int ms = 150) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void Shot(QWidget* w, const QString& name) {
    Settle();
    const QString path = OutDir + "/" + name + ".png";
    if (w && w->grab().save(path)) std::printf("%s\n", qPrintable(path));
}

// Photographs the next modal window as it opens, then closes it.
void ShotNextModal(const QString& name) {
    QTimer::singleShot(300, [name] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        Shot(modal, name);
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box && box->button(QMessageBox::Ok)) box->button(QMessageBox::Ok)->click();
        else modal->close();
    });
}

void Script(frmMain* w) {
    Shot(w, "main-toolbar-top");
    const char* edges[] = {"left", "bottom", "right"};
    for (const char* edge : edges) {
        w->MoveToolbar();
        Shot(w, QString("main-toolbar-") + edge);
    }
    w->MoveToolbar();
    w->mnuViewStatusBar->trigger();
    Shot(w, "main-no-status-bars");
    w->mnuViewStatusBar->trigger();
    w->mnuViewToolbar->trigger();
    Shot(w, "main-no-toolbar");
    w->mnuViewToolbar->trigger();

    ShotNextModal("about");
    w->HelpAbout();
    ShotNextModal("setup-device");
    w->OpenDeviceSetup();
    ShotNextModal("setup-load");
    w->OpenSetupLoad();
    ShotNextModal("setup-write");
    w->OpenSetupWrite();
    ShotNextModal("setup-fill");
    w->OpenSetupFill();
    ShotNextModal("setup-checksum");
    w->OpenSetupCksum();
    w->ViewToggle();
    Shot(modMain::ViewWindow, "view");
    w->ViewToggle();

    // Every byte value at the start of the device, for the character column.
    UnitSettingsRecord& load = modMain::UnitSettings;
    QFile bytes(OutDir + "/all-bytes.bin");
    if (bytes.open(QIODevice::WriteOnly)) {
        QByteArray all(256, '\0');
        for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
        bytes.write(all);
        bytes.close();
    }
    load.LoadFile = bytes.fileName();
    load.LoadStart = load.LoadTarget = load.LoadLength = 0;
    load.LoadWidth = 1;
    modMain::RunLoad("Quick Load", false);
    w->ViewToggle();
    Shot(modMain::ViewWindow, "view-control-bytes");
    w->ViewToggle();
    bytes.remove();

    // The status bar of a call that takes a while: the call is held until the
    // picture has been taken.
    QSemaphore gate;
    modMain::SetWorkerHook([&gate] { gate.tryAcquire(1, 30000); });
    QTimer::singleShot(1200, [w, &gate] {
        Shot(w, "main-busy");
        gate.release();
    });
    modMain::RunChecksum("Quick Checksum", false);
    modMain::SetWorkerHook(nullptr);

    w->HelpTopics();
    Shot(frmHelp::Current(), "help");
    frmHelp::CloseAll();

    UnitSettingsRecord& s = modMain::UnitSettings;
    ShotNextModal("box-checksum-success");
    modMain::RunChecksum("Setup Checksum", true);
    s.LoadFile = OutDir + "/missing.hex";
    ShotNextModal("box-load-failed");
    modMain::RunLoad("Setup Load", true);
    const int32_t type = s.DevType;
    s.DevType = 0;
    ShotNextModal("box-no-device-type");
    modMain::RunFill("Quick Fill", false);
    s.DevType = type;
    ShotNextModal("box-reset");
    modMain::ResetCommand(5);
    w->close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT-FOLDER\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    OutDir = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    QDir().mkpath(OutDir);
    modMain::HelpFile = QString(PELMO_BIN_DIR) + "/PelmoGui3.html";
    emu::VXAInit();
    frmMain w;
    w.Load();
    w.show();
    QTimer::singleShot(300, [&w] { Script(&w); });
    return app.exec();
}
