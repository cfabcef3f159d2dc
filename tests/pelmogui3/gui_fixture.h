// Shared set-up of the GUI suites: the settings store in a fresh temporary
// folder, message boxes captured instead of shown, the library's debug stream
// read back to see which calls reached it and with what.
#pragma once

#include <QAction>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>
#include <QToolBar>
#include <deque>
#include <memory>
#include <vector>

#include "pelmogui3/controls.h"
#include "pelmogui3/frmMain.h"
#include "pelmogui3/frmSetupDevice.h"
#include "pelmogui3/modMain.h"
#include "pelmogui3/modReg.h"

namespace guitest {

using modMain::BoxIcon;
using modMain::BoxRecord;

// The debug stream file of this process (set before the library's first call).
QString TracePath();
// Runs a command line through the shell; true when it exits with status 0.
bool Shell(const QString& command, QString* output = nullptr);

class GuiFixture {
public:
    // Call from each test's init(): fresh store, fresh record, no window.
    void Reset();
    // Call from cleanup(): closes the window without storing anything twice.
    void Drop();

    // Settings written straight into the store, as a previous run (or a damaged
    // file) left them.
    void Stored(int unit, const QString& key, const QString& value);
    QString StoredText(int unit, const QString& key);
    QString IniPath() const { return dir_->path() + "/PelmoGui3/PelmoGui3.ini"; }
    QString File(const QString& name) const { return dir_->path() + "/" + name; }

    // A main window after its load step.
    frmMain* Start();
    frmMain* Main() { return main_.get(); }
    // Closes the main window the way the user does, which stores the settings.
    void CloseMain();

    // Message boxes asked for since the last call, oldest first.
    std::vector<BoxRecord> TakeBoxes();
    // Answer for the next Yes/No box (default answer otherwise).
    std::deque<int> answers;

    // Lines the library wrote to its debug stream since the last call.
    QStringList TakeTrace();

    // Modal dialogs opened since the last call (object names), oldest first.
    QStringList TakeDialogs();
    // What a device setup dialog opened by a command does; by default it is
    // cancelled, leaving everything as it was.
    std::function<void(frmSetupDevice*)> onDeviceSetup;
    // What any other modal dialog opened by a command does; when unset it is
    // closed at once.
    std::function<void(QWidget*)> onDialog;
    // The name of what the last command opened: a dialog, else a box's title.
    QString TakeOpened();

    QString Panel(int bar, int index);
    bool PanelEnabled(int bar, int index);

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<frmMain> main_;
    std::vector<BoxRecord> boxes_;
    qint64 traceOffset_ = 0;
    QStringList dialogs_;
    QTimer modalWatch_;
    QPointer<QWidget> handled_;
};

// Checks one box: text, icon and title.
#define EXPECT_BOX(box, text_, icon_, title_)                            \
    do {                                                                 \
        QCOMPARE((box).text, QString(text_));                            \
        QCOMPARE(static_cast<int>((box).icon), static_cast<int>(icon_)); \
        QCOMPARE((box).title, QString(title_));                          \
    } while (0)

}  // namespace guitest
