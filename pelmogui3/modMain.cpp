#include "pelmogui3/modMain.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QThread>
#include <QTimer>
#include <cmath>
#include <mutex>
#include <thread>

#include "pelmogui3/controls.h"
#include "pelmogui3/frmMain.h"
#include "pelmogui3/modLib.h"
#include "pelmogui3/modReg.h"

namespace modMain {

UnitSettingsRecord UnitSettings;
QString DesignedCaption = " Pelmo EPROM Emulator";
QString CurrentStatus;
bool StartMaximized = false;
bool ViewOpen = false;
const char* const DeviceNames[11] = {"(none)", "2716",  "2732",  "2764",  "27128", "27256",
                                     "27512",  "27010", "27020", "27040", "27080"};
const char* const ResetLevelNames[3] = {"LOW", "HIGH", "HI-Z"};
frmMain* MainForm = nullptr;
QPointer<QWidget> ViewWindow;
QString HelpFile;
QString WebPage;
int BeepCount = 0;
int32_t OpenedUnit = -1;
bool CloseWhenIdle = false;

namespace {

BoxRecord Last;
std::function<int(const BoxRecord&)> Handler;
bool Busy = false;
bool InCall = false;
std::mutex LibraryMutex;
std::function<void()> WorkerHook;

// Drops the user's input while a call runs: nothing may start a second
// operation, and nothing typed or clicked meanwhile acts later by surprise.
class InputBlocker : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd: return true;
        default: return QObject::eventFilter(watched, event);
        }
    }
};

QString ProperCase(const QString& text) {
    QString out = text;
    bool start = true;
    for (QChar& c : out) {
        if (c.isSpace()) {
            start = true;
            continue;
        }
        c = start ? c.toUpper() : c.toLower();
        start = false;
    }
    return out;
}

QString ErrorTitle(const QString& title) { return " Pelmo Error -- " + title; }

void ShowResult(int32_t result, const QString& text, const QString& title, const QString& line, bool showSuccess) {
    if (result != 0) {
        // The library leaves the text empty when it had no unit to work on.
        const QString why = text.isEmpty() && result < 0 ? QString("UNIT NOT OPEN OR NOT SIZED") : text;
        MsgBox(line + " OPERATION FAILED\r" + why, BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
    } else if (!showSuccess) {
        Beep();
    } else {
        MsgBox(line + " OPERATION SUCCESSFUL\r" + text, BoxIcon::None, BoxButtons::Ok, " Pelmo " + title);
    }
}

// The runners' shared opening: precondition, reset bookkeeping, busy text.
bool Begin(const QString& word, const QString& title, const QString& file, const QString& busy, QString* kept) {
    if (!CheckReady(word, title, file)) return false;
    if (UnitSettings.AutoReset) UnitSettings.ResetState = UnitSettings.ResetActive;
    *kept = SetStatus(busy);
    return true;
}

void EndCall() {
    if (UnitSettings.AutoReset) UnitSettings.ResetState = UnitSettings.ResetInactive;
}

}  // namespace

int MsgBox(const QString& text, BoxIcon icon, BoxButtons buttons, const QString& title, int defaultAnswer) {
    Last = BoxRecord{text, icon, buttons, defaultAnswer ? defaultAnswer : (buttons == BoxButtons::YesNo ? Yes : Ok),
                     title};
    if (Handler) return Handler(Last);
    // The user has closed the main window: the operation's last words are not
    // asked for any more.
    if (CloseWhenIdle) return Last.defaultAnswer;
    QMessageBox box(MainForm ? static_cast<QWidget*>(MainForm) : nullptr);
    if (QWidget* active = QApplication::activeModalWidget()) box.setParent(active, box.windowFlags());
    QString shown = text;
    shown.replace("\r\n", "\n").replace('\r', '\n');
    while (shown.endsWith('\n')) shown.chop(1);
    box.setText(shown);
    box.setWindowTitle(title);
    static const QMessageBox::Icon icons[] = {QMessageBox::NoIcon, QMessageBox::Information, QMessageBox::Warning,
                                              QMessageBox::Question, QMessageBox::Critical};
    box.setIcon(icons[static_cast<int>(icon)]);
    if (buttons == BoxButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(Last.defaultAnswer == No ? QMessageBox::No : QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    const bool wasBusy = Busy;
    if (wasBusy) BusyPointer(false);
    const int pressed = box.exec();
    if (wasBusy) BusyPointer(true);
    if (buttons == BoxButtons::YesNo) return pressed == QMessageBox::Yes ? Yes : No;
    return Ok;
}

const BoxRecord& LastBox() { return Last; }

void SetBoxHandler(std::function<int(const BoxRecord&)> handler) { Handler = std::move(handler); }

QString SetStatus(const QString& text) {
    const UnitSettingsRecord& s = UnitSettings;
    const QString tag = s.Unit == 0 ? QString() : s.Unit == 4 ? QString("(V)") : "(" + QString::number(s.Unit) + ")";
    const QString previous = CurrentStatus;
    if (!text.isEmpty()) CurrentStatus = text;
    if (!MainForm) return previous;
    MainForm->setWindowTitle(" " + tag + DesignedCaption);
    StatusBar* bar = MainForm->sbStatusBar;
    if (!text.isEmpty()) bar->panel(0)->setText("STATUS: " + ProperCase(text));
    bar->panel(1)->setText("UNIT: Unit " + (s.Unit == 4 ? QString("Virtual") : QString::number(s.Unit)));
    const int type = s.DevType >= 0 && s.DevType <= 10 ? s.DevType : 0;
    bar->panel(2)->setText(QString("TYPE: ") + DeviceNames[type]);
    bar->panel(3)->setText("RESET: " + ResetStateText());
    bar->panel(3)->setPanelEnabled(s.Unit != 4);
    StatusBar* bar2 = MainForm->sbStatusBar2;
    bar2->panel(0)->setText("FILE: " + s.LoadFile);
    bar2->panel(0)->setElided(true);
    bar2->panel(0)->setPanelEnabled(s.FileLoaded);
    const QString h = QString::number(s.CksumResult, 16).toUpper().rightJustified(8, '0');
    bar2->panel(1)->setText("SUM: " + h.left(4) + "-" + h.right(4));
    bar2->panel(1)->setPanelEnabled(s.SumValid);
    // The busy text must be on the screen before a call blocks the window.
    if (MainForm->isVisible()) {
        bar->repaint();
        bar2->repaint();
    }
    return previous;
}

QString ResetStateText() {
    const UnitSettingsRecord& s = UnitSettings;
    if (s.DevType == 0 || s.Unit == 4) return QString();
    if (s.ResetState < 0 || s.ResetState > 2) return QString();
    QString text = ResetLevelNames[s.ResetState];
    if (s.ResetState == s.ResetInactive) text += " (Inactive)";
    else if (s.ResetState == s.ResetActive) text += " (Active)";
    return text;
}

void OpenUnit(const QString& title) {
    UnitSettingsRecord& s = UnitSettings;
    CloseView();
    if (s.DevType != 0) {
        const int32_t unit = s.Unit, type = s.DevType;
        s.DevSize = CallLibrary([=] { return emu::VXAOpen(unit, type); });
    } else {
        s.DevSize = 1024;
    }
    if (s.DevSize < 1) {
        MsgBox("UNABLE TO ACCESS UNIT " + QString::number(s.Unit) + "\rDEVICE FAILURE (SUBCODE 000-" +
                   QString::number(std::abs(static_cast<int64_t>(s.DevSize))) + ")",
               BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
        s.DevType = 0;
    }
    int32_t k = 1024;
    if (s.DevType != 0) {
        if (s.AutoReset) s.ResetState = s.ResetActive;
        const QString kept = SetStatus("TESTING...");
        const int32_t autoReset = s.AutoReset, active = s.ResetActive, inactive = s.ResetInactive;
        k = CallLibrary([=] { return emu::VXAQTest(autoReset, active, inactive); });
        if (s.AutoReset) s.ResetState = s.ResetInactive;
        SetStatus(kept);
        if (k > 0) {
            const int32_t level = s.ResetInactive;
            const int32_t r = CallLibrary([=] { return emu::VXASetReset(level, 0, level); });
            s.ResetState = s.ResetInactive;
            if (r < 0) ShowDeviceFailure(r, title);
        } else {
            ShowDeviceFailure(k, title);
            k = 1024;
            s.DevType = 0;
        }
    }
    s.MaxK = k;
    if (static_cast<int64_t>(s.DevSize) > static_cast<int64_t>(s.MaxK) * 1024) {
        MsgBox("Insufficient RAM for requested device type on\rselected unit, max emulated ROM is " +
                   QString::number(s.MaxK) + "K bytes",
               BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
        s.DevType = 0;
    }
    OpenedUnit = s.DevType != 0 ? s.Unit : -1;
}

void ShowDeviceFailure(int32_t code, const QString& title) {
    MsgBox("DEVICE FAILURE (SUBCODE 000-" + QString::number(std::abs(static_cast<int64_t>(code))) + ")\r",
           BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
}

bool CheckReady(const QString& word, const QString& title, const QString& file) {
    if (UnitSettings.DevType == 0) {
        MsgBox(
            "Please use Setup/Device to\rSelect an Emulation Device Type\rBefore performing a " + word + " Operation",
            BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
        return false;
    }
    if (file.isEmpty()) {
        MsgBox("Please Use Setup/" + word + " to Select a File to " + word + "\rBefore Performing this Operation",
               BoxIcon::Exclamation, BoxButtons::Ok, ErrorTitle(title));
        return false;
    }
    return true;
}

void RunLoad(const QString& title, bool showSuccess) {
    UnitSettingsRecord& s = UnitSettings;
    const bool verifyOnly = s.LoadMode == 2;
    QString kept;
    if (!Begin("Load", title, s.LoadFile, verifyOnly ? "VERIFYING..." : "LOADING...", &kept)) return;
    if (!verifyOnly) CloseView();
    emu::ResultBuffer buffer;
    const QByteArray name = emu::FileNameBytes(s.LoadFile);
    const UnitSettingsRecord a = s;
    const int32_t r = CallLibrary([&buffer, &name, a] {
        return emu::VXALoad(buffer.data(), name.constData(), a.LoadStart, a.LoadTarget, a.LoadLength, a.LoadWidth,
                            a.LoadMode, a.FoldingMode, a.AutoReset, a.ResetActive, a.ResetInactive);
    });
    const QString text = buffer.text();
    EndCall();
    s.FileLoaded = r == 0;
    s.SumValid = false;
    SetStatus(kept);
    ShowResult(r, text, title, verifyOnly ? "VERIFY" : "LOAD", showSuccess);
}

void RunFill(const QString& title, bool showSuccess) {
    UnitSettingsRecord& s = UnitSettings;
    const bool verifyOnly = s.FillMode == 2;
    QString kept;
    if (!Begin("Fill", title, "nothing", verifyOnly ? "VERIFYING..." : "FILLING...", &kept)) return;
    if (!verifyOnly) CloseView();
    emu::ResultBuffer buffer;
    const UnitSettingsRecord a = s;
    const int32_t r = CallLibrary([&buffer, a] {
        return emu::VXAFill(buffer.data(), a.FillValue, a.FillStart, a.FillLength, a.FillMode, a.FoldingMode,
                            a.AutoReset, a.ResetActive, a.ResetInactive);
    });
    const QString text = buffer.text();
    EndCall();
    s.FileLoaded = false;
    s.SumValid = false;
    SetStatus(kept);
    ShowResult(r, text, title, verifyOnly ? "VERIFY" : "FILL", showSuccess);
}

void RunWrite(const QString& title, bool showSuccess) {
    UnitSettingsRecord& s = UnitSettings;
    QString kept;
    if (!Begin("Write", title, s.WriteFile, "WRITING...", &kept)) return;
    emu::ResultBuffer buffer;
    const QByteArray name = emu::FileNameBytes(s.WriteFile);
    const QByteArray signon = emu::TextBytes(s.WriteSignon);
    const UnitSettingsRecord a = s;
    const int32_t r = CallLibrary([&buffer, &name, &signon, a] {
        return emu::VXAWrite(buffer.data(), name.constData(), a.WriteStart, a.WriteLength, a.WriteAppendOverOption,
                             a.WriteFormat, a.WriteEOFOption, a.WriteRecordLen, a.WriteFillValue, a.WriteTargetOption,
                             a.WriteTarget, a.WriteEntryOption, a.WriteEntryAddress, signon.constData(), a.FoldingMode,
                             a.AutoReset, a.ResetActive, a.ResetInactive);
    });
    const QString text = buffer.text();
    EndCall();
    SetStatus(kept);
    ShowResult(r, text, title, "WRITE", showSuccess);
}

void RunChecksum(const QString& title, bool showSuccess) {
    UnitSettingsRecord& s = UnitSettings;
    QString kept;
    if (!Begin("Checksum", title, "nothing", "CHECKSUMMING...", &kept)) return;
    emu::ResultBuffer buffer;
    uint32_t sum = 0;
    const UnitSettingsRecord a = s;
    const int32_t r = CallLibrary([&buffer, &sum, a] {
        return emu::VXACksum(buffer.data(), &sum, a.CksumStart, a.CksumLength, a.FoldingMode, a.AutoReset,
                             a.ResetActive, a.ResetInactive);
    });
    const QString text = buffer.text();
    EndCall();
    if (r == 0) s.CksumResult = sum;
    s.SumValid = r == 0;
    SetStatus(kept);
    ShowResult(r, text, title, "CHECKSUM", showSuccess);
}

bool RunView(const QString& title) {
    UnitSettingsRecord& s = UnitSettings;
    QString kept;
    if (!Begin("View", title, "nothing", "VIEWING...", &kept)) return false;
    emu::ResultBuffer buffer;
    const UnitSettingsRecord a = s;
    const int32_t r = CallLibrary([&buffer, a] {
        return emu::VXAViewOpen(buffer.data(), a.FoldingMode, a.AutoReset, a.ResetActive, a.ResetInactive);
    });
    const QString text = buffer.text();
    EndCall();
    SetStatus(kept);
    if (r != 0) ShowResult(r, text, title, "VIEW", true);
    return r == 0;
}

void ResetCommand(int index) {
    UnitSettingsRecord& s = UnitSettings;
    if (index < 0 || index > 5) return;
    if (s.DevType == 0) {
        if (MainForm) MainForm->OpenDeviceSetup();
        return;
    }
    if (s.Unit == 4) {
        MsgBox("This operation is not valid on a virtual unit", BoxIcon::Exclamation, BoxButtons::Ok,
               ErrorTitle(" Set Reset"));
        return;
    }
    if (index < 5) {
        const int32_t levels[5] = {s.ResetActive, s.ResetInactive, 0, 1, 2};
        const int32_t level = levels[index];
        const int32_t r = CallLibrary([=] { return emu::VXASetReset(level, 0, level); });
        if (r >= 0) {
            s.ResetState = level;
            SetStatus("");
        } else {
            ShowDeviceFailure(r, "Set Reset");
        }
        return;
    }
    s.ResetState = s.ResetActive;
    SetStatus("");
    const int32_t active = s.ResetActive, width = s.ResetPulseWidth, inactive = s.ResetInactive;
    const int32_t r = CallLibrary([=] { return emu::VXASetReset(active, width, inactive); });
    s.ResetState = s.ResetInactive;
    SetStatus("");
    if (r < 0) ShowDeviceFailure(r, "Set Reset");
}

void CloseView() {
    if (!ViewOpen) return;
    ViewOpen = false;
    if (ViewWindow) {
        QWidget* w = ViewWindow;
        ViewWindow = nullptr;
        w->close();
    }
    CallLibraryHere([] { return emu::VXAViewClose(); });
    if (MainForm) MainForm->SetViewToggle(false);
}

void BusyPointer(bool on) {
    if (on == Busy) return;
    Busy = on;
    if (on) QApplication::setOverrideCursor(Qt::WaitCursor);
    else QApplication::restoreOverrideCursor();
}

bool Calling() { return InCall; }

void SetWorkerHook(std::function<void()> hook) { WorkerHook = std::move(hook); }

int32_t CallLibrary(const std::function<int32_t()>& call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (InCall || !app || QThread::currentThread() != app->thread()) {
        // No event loop to keep alive here: wait for the library and call it.
        std::lock_guard<std::mutex> g(LibraryMutex);
        return call();
    }
    InCall = true;
    BusyPointer(true);
    if (MainForm) MainForm->SetBusy(true);
    InputBlocker blocker;
    app->installEventFilter(&blocker);
    QEventLoop loop;
    int32_t result = 0;
    const std::function<void()> hook = WorkerHook;
    std::thread worker([&] {
        if (hook) hook();
        {
            std::lock_guard<std::mutex> g(LibraryMutex);
            result = call();
        }
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    app->removeEventFilter(&blocker);
    if (MainForm) MainForm->SetBusy(false);
    BusyPointer(false);
    InCall = false;
    if (CloseWhenIdle && MainForm)
        QTimer::singleShot(0, MainForm, [] {
            if (MainForm) MainForm->close();
        });
    return result;
}

int32_t CallLibraryHere(const std::function<int32_t()>& call) {
    std::lock_guard<std::mutex> g(LibraryMutex);
    return call();
}

void Beep() {
    ++BeepCount;
    QApplication::beep();
}

bool ParseHex(const QString& text, int32_t* value) {
    const QString t = text.trimmed();
    if (t.isEmpty()) return false;
    uint64_t v = 0;
    for (QChar c : t) {
        const int d = c.isDigit()                                  ? c.digitValue()
                      : (c.toLower() >= 'a' && c.toLower() <= 'f') ? c.toLower().unicode() - 'a' + 10
                                                                   : -1;
        if (d < 0 || c.unicode() > 0x7F) return false;
        v = v * 16 + static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

int32_t HexValue(const QString& text) {
    int32_t v = 0;
    return ParseHex(text, &v) ? v : 0;
}

int32_t DecimalValue(const QString& text) {
    bool ok = false;
    const double d = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(d)) return 0;
    const double r = std::nearbyint(d);
    if (r < -2147483648.0 || r > 2147483647.0) return 0;
    return static_cast<int32_t>(r);
}

}  // namespace modMain

#include <QDir>
#include <QFileInfo>

#ifndef PELMO_DATA_FROM_BIN
#define PELMO_DATA_FROM_BIN "../share/pelmo"
#endif

namespace modMain {

QString FindDataFile(const QString& programDir, const QString& name) {
    QStringList dirs;
    if (!programDir.isEmpty()) dirs << programDir << programDir + "/" PELMO_DATA_FROM_BIN;
    for (const QString& dir : qEnvironmentVariable("PATH").split(':')) dirs << (dir.isEmpty() ? QString(".") : dir);
    for (const QString& dir : dirs) {
        const QFileInfo file(dir + "/" + name);
        if (file.isFile()) return QDir::cleanPath(file.absoluteFilePath());
    }
    return QString();
}

int Main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("PelmoGui3");
    QApplication::setOrganizationName("PelmoGui3");
    QApplication::setWindowIcon(icons::Application());
    const QString dir = QApplication::applicationDirPath();
    HelpFile = FindDataFile(dir, "PelmoGui3.html");
    WebPage = FindDataFile(dir, "PelmoGui3-web.html");
    if (WebPage.isEmpty()) WebPage = dir + "/PelmoGui3-web.html";
    emu::VXAInit();
    frmMain main;
    main.Load();
    if (!main.isVisible()) {
        if (StartMaximized) main.showMaximized();
        else main.show();
    }
    return app.exec();
}

}  // namespace modMain
