// Shared state and routines of the windowed application: the selected unit's
// settings, the status text, the message box helper and the runners through
// which every operation on the unit goes.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>

class frmMain;

// Settings and live state of the selected unit, in declaration order.
struct UnitSettingsRecord {
    int32_t Unit = 4;
    int32_t DevType = 0;
    int32_t DevSize = 1024;
    int32_t MaxK = 1024;
    int32_t FoldingMode = 1;
    int32_t AutoReset = 1;
    int32_t ResetActive = 2;
    int32_t ResetInactive = 2;
    int32_t ResetPulseWidth = 10;
    int32_t ResetState = 2;
    QString LoadFile;
    int32_t LoadStart = 0;
    int32_t LoadTarget = 0;
    int32_t LoadLength = 0;
    int32_t LoadWidth = 1;
    int32_t LoadMode = 0;
    bool FileLoaded = false;
    int32_t FillValue = 0xFF;
    int32_t FillStart = 0;
    int32_t FillLength = 0;
    int32_t FillMode = 0;
    int32_t WriteFormat = 0;
    int32_t WriteEOFOption = 1;
    int32_t WriteAppendOverOption = 0;
    QString WriteFile;
    int32_t WriteStart = 0;
    int32_t WriteTargetOption = 0;
    int32_t WriteTarget = 0;
    int32_t WriteLength = 0;
    int32_t WriteFillValue = 0xFF;
    int32_t WriteRecordLen = 32;
    int32_t WriteEntryOption = 0;
    int32_t WriteEntryAddress = 0;
    QString WriteSignon;
    int32_t CksumStart = 0;
    int32_t CksumLength = 0;
    uint32_t CksumResult = 0;
    bool SumValid = false;
    int32_t ViewAddress = 0;
};

namespace modMain {

extern UnitSettingsRecord UnitSettings;
extern QString DesignedCaption;
extern QString CurrentStatus;
extern bool StartMaximized;
extern bool ViewOpen;
extern const char* const DeviceNames[11];
extern const char* const ResetLevelNames[3];
// The main window and the open view window, when they exist.
extern frmMain* MainForm;
extern QPointer<QWidget> ViewWindow;
// The help file shown by the help commands; empty when none was installed.
extern QString HelpFile;
// The product page opened by the help menu's web item.
extern QString WebPage;
// A help page of the program: beside the program (programDir), else in the
// installed data folder next to it (<programDir>/../share/pelmo), else in the
// PATH directories; empty when none of them has it.
QString FindDataFile(const QString& programDir, const QString& name);
// The unit the library has open and sized for the record, -1 for none.
extern int32_t OpenedUnit;
// Beeps sounded so far (a Quick command's success is only a beep).
extern int BeepCount;

// Message boxes. Texts use carriage returns between lines, as the library does;
// each shows as a line break.
enum class BoxIcon { None, Information, Exclamation, Question, Critical };
enum class BoxButtons { Ok, YesNo };
enum BoxAnswer { Ok = 1, Yes = 6, No = 7 };
struct BoxRecord {
    QString text;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
    int defaultAnswer = Ok;
    QString title;
};
int MsgBox(const QString& text, BoxIcon icon, BoxButtons buttons, const QString& title, int defaultAnswer = 0);
// The last box asked for.
const BoxRecord& LastBox();
// When set, boxes go to the handler instead of the screen and its answer is used
// (tests, and scripted runs that must not wait for a click).
void SetBoxHandler(std::function<int(const BoxRecord&)> handler);

QString SetStatus(const QString& text);
QString ResetStateText();
void OpenUnit(const QString& title);
void ShowDeviceFailure(int32_t code, const QString& title);
bool CheckReady(const QString& word, const QString& title, const QString& file);
void RunLoad(const QString& title, bool showSuccess);
void RunFill(const QString& title, bool showSuccess);
void RunWrite(const QString& title, bool showSuccess);
void RunChecksum(const QString& title, bool showSuccess);
bool RunView(const QString& title);
void ResetCommand(int index);
void CloseView();
void BusyPointer(bool on);
// Runs one library call on a worker thread and returns its result. The calls
// run one at a time (the library keeps one current unit); meanwhile the windows
// repaint and move, user input is dropped, and the main window shows that it
// is busy. A call made while another runs waits for it.
int32_t CallLibrary(const std::function<int32_t()>& call);
// A quick call made on this thread, after any call under way.
int32_t CallLibraryHere(const std::function<int32_t()>& call);
// A library call is under way.
bool Calling();
// The main window was asked to close while a call ran; it closes afterwards.
extern bool CloseWhenIdle;
// Runs on the worker thread before each call (tests hold a call open with it).
void SetWorkerHook(std::function<void()> hook);
void Beep();
int32_t HexValue(const QString& text);
int32_t DecimalValue(const QString& text);
// Reads text as 1..8 significant hexadecimal digits (blanks around it allowed);
// false when it is not such a number.
bool ParseHex(const QString& text, int32_t* value);

// The program: library, main window, event loop. Returns the exit status.
int Main(int argc, char** argv);

}  // namespace modMain
