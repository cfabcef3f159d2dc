// The setup dialogs as a keyboard user meets them, on simulated USB unit 0:
// whichever way a button is pressed (mouse, access key, Enter on the default
// button, Space on a focused button, a command that clicks it), a refused field
// stops it with the field's own message and keeps the focus, also when a press
// on Cancel released off it left the focus on Cancel with the field unchecked;
// a valid one lets each of those ways act on its checked form; every access key
// reaches its control; the focus opens in the first field and Tab runs through
// the fields, then the boxes, then the buttons. Keys go to the widget that has
// the focus, through the dialog's shortcut handling.
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>

#include "pelmogui3/frmCksum.h"
#include "pelmogui3/frmFill.h"
#include "pelmogui3/frmHelp.h"
#include "pelmogui3/frmLoad.h"
#include "pelmogui3/frmWrite.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

// The letter after the single '&' of a caption, 0 when it has none.
QChar AccessLetter(const QString& caption) {
    for (qsizetype i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;
            continue;
        }
        return caption[i + 1].toUpper();
    }
    return QChar();
}

Qt::Key KeyOf(QChar letter) { return Qt::Key(Qt::Key_A + (letter.unicode() - 'A')); }

// Everything a field check or a button could change.
QString Snapshot() {
    const UnitSettingsRecord& s = UnitSettings;
    return QString("%1 %2 %3 %4 %5|%6 %7 %8 %9|%10 %11 %12|%13 %14 %15 %16 %17 %18 %19 %20|%21 %22 %23")
        .arg(s.Unit)
        .arg(s.DevType)
        .arg(s.ResetPulseWidth)
        .arg(s.ResetActive)
        .arg(s.FoldingMode)
        .arg(s.LoadFile)
        .arg(s.LoadStart)
        .arg(s.LoadTarget)
        .arg(s.LoadLength)
        .arg(s.FillValue)
        .arg(s.FillStart)
        .arg(s.FillLength)
        .arg(s.WriteFile)
        .arg(s.WriteStart)
        .arg(s.WriteLength)
        .arg(s.WriteTarget)
        .arg(s.WriteTargetOption)
        .arg(s.WriteFillValue)
        .arg(s.WriteRecordLen)
        .arg(s.WriteEntryAddress)
        .arg(s.CksumStart)
        .arg(s.CksumLength)
        .arg(modMain::BeepCount);
}

class KeyboardSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;
    std::unique_ptr<QDialog> dialog;

    QDialog* Open(const QString& which) {
        fx.onDeviceSetup = [](frmSetupDevice*) {};
        QWidget* main = fx.Main();
        if (which == "load") dialog = std::make_unique<frmLoad>(main);
        if (which == "write") dialog = std::make_unique<frmWrite>(main);
        if (which == "fill") dialog = std::make_unique<frmFill>(main);
        if (which == "checksum") dialog = std::make_unique<frmCksum>(main);
        if (which == "device") dialog = std::make_unique<frmSetupDevice>(main);
        // Driven here, not answered by the fixture's modal watch.
        dialog->setModal(false);
        dialog->show();
        // Keys go to the active window: wait until the dialog is it.
        for (int i = 0; i < 500 && QApplication::activeWindow() != dialog.get(); ++i) {
            dialog->activateWindow();
            QTest::qWait(10);
        }
        if (QApplication::activeWindow() != dialog.get()) qWarning("dialog not active");
        return dialog.get();
    }

private slots:
    void initTestCase() { qputenv("PELMO_SIM_USB", "unit=0,ram=256"); }
    void init() {
        fx.Reset();
        fx.Stored(0, "LoadFile", fx.File("image.hex"));
        fx.Stored(0, "WriteFile", fx.File("out.s37"));
        fx.Stored(0, "WriteFormat", "5");
        fx.Start();
        fx.TakeBoxes();
        fx.TakeTrace();
        fx.TakeDialogs();
    }
    void cleanup() {
        dialog.reset();
        fx.Drop();
    }

    // The buttons that act on the fields, each dialog's own: Now (Test), Done,
    // Browse and Help; only Cancel closes without looking at them.
    static QStringList ActingButtons(const QString& form) {
        static const QMap<QString, QStringList> buttons{
            {"load", {"LoadFileNow", "LoadFileDone", "LoadFileBrowse", "LoadFileHelp"}},
            {"fill", {"FillNow", "FillDone", "FillHelp"}},
            {"write", {"WriteFileNow", "WriteFileDone", "WriteFileBrowse", "WriteFileHelp"}},
            {"checksum", {"CksumNow", "CksumDone", "CksumHelp"}},
            {"device", {"ApplyButton", "DoneButton", "HelpButton"}}};
        return buttons[form];
    }
    static bool IsDone(const QString& button) { return button.endsWith("Done") || button == "DoneButton"; }
    // Whether a way of pressing reaches this button at all.
    static bool Reaches(const QString& form, const QString& button, const QString& way) {
        // Enter presses the default button only.
        if (way == "enter") return IsDone(button);
        // The write dialog's "Fill (&hex)" and "&Help" share their letter, so
        // Alt+H only moves the focus between the two and presses nothing.
        if (way == "access key") return !(form == "write" && button == "WriteFileHelp");
        return true;
    }
    static const char* const* Ways() {
        static const char* const ways[] = {"mouse", "access key", "enter", "space", "command", nullptr};
        return ways;
    }

    QPushButton* Cancel(QDialog* d) {
        for (QPushButton* b : d->findChildren<QPushButton*>())
            if (b->text() == "Cancel") return b;
        return nullptr;
    }

    // The mouse goes down on Cancel and comes up off it: Cancel does nothing
    // and keeps the focus, and leaving the field for it checked nothing.
    bool StrandOnCancel(QDialog* d) {
        QPushButton* cancel = Cancel(d);
        if (!cancel) return false;
        QTest::mousePress(cancel, Qt::LeftButton);
        QTest::mouseRelease(cancel, Qt::LeftButton, {}, cancel->mapFrom(d, QPoint(2, 2)));
        return QApplication::focusWidget() == cancel && !cancel->isDown() && d->isVisible();
    }

    // Presses button b one way. "space" first takes the focus to the button by
    // keys from Cancel, where a press released off Cancel left it, so the
    // field's check on leaving has not run.
    void Press(QDialog* d, QPushButton* b, const QString& way) {
        if (way == "mouse") {
            QTest::mouseClick(b, Qt::LeftButton);
        } else if (way == "access key") {
            QTest::keyClick(QApplication::focusWidget(), KeyOf(AccessLetter(b->text())), Qt::AltModifier);
        } else if (way == "enter") {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        } else if (way == "space") {
            QVERIFY(StrandOnCancel(d));
            // Help follows Cancel; the others come before it.
            const Qt::Key key = b->text() == "&Help" ? Qt::Key_Tab : Qt::Key_Backtab;
            for (int i = 0; i < 6 && QApplication::focusWidget() != b; ++i) {
                QVERIFY2(qobject_cast<QPushButton*>(QApplication::focusWidget()),
                         "the way to the button left the buttons");
                QTest::keyClick(QApplication::focusWidget(), key);
            }
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(b));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        } else {
            b->click();
        }
        // An access key presses the button for a moment before it clicks: wait
        // for it to come up, so a click that slipped through has happened.
        QTRY_VERIFY(!b->isDown());
    }

    // Nothing ran: one box with the field's message, the focus back in it, the
    // dialog open, no record field changed, no library call, no dialog opened.
    void ExpectRefused(QDialog* d, QLineEdit* edit, const QString& message, const QString& before) {
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QCOMPARE(boxes[0].text, message);
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::Exclamation));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(edit));
        QVERIFY(d->isVisible());
        QCOMPARE(Snapshot(), before);
        QStringList calls = fx.TakeTrace().filter(QRegularExpression("^VXA"));
        QVERIFY2(calls.isEmpty(), qPrintable(calls.join('\n')));
        QVERIFY(fx.TakeDialogs().isEmpty());  // no Browse file dialog either
        QVERIFY(!frmHelp::Current() || !frmHelp::Current()->isVisible());
    }

    // The dialog open on the given field with the given text in it.
    QLineEdit* Type(QDialog* d, const QString& field, const QString& input) {
        auto* edit = d->findChild<QLineEdit*>(field);
        if (!edit) return nullptr;
        edit->setFocus();
        if (!QTest::qWaitFor([&] { return edit->hasFocus(); })) return nullptr;
        edit->setText(input);
        fx.TakeBoxes();
        fx.TakeTrace();
        return edit;
    }

    void refusedFieldStopsEveryWayOfPressing_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("way");
        const QString start = "Please specify a Hex Start Address between 0 and FFFFF";
        const QString length = "Please specify a Hex Length in Bytes between 1 and 100000\r";
        struct Field {
            const char *form, *field, *input;
            QString message;
        };
        const Field fields[] = {
            {"load", "LoadFileStart", "zz", start},
            {"load", "LoadFileTarget", "xyz", "Please specify a Hex Target Address between 0 and FFFFF"},
            {"load", "LoadFileLength", "100001", length + "Or the word ALL to indicate Loading of the entire file"},
            {"fill", "FillValue", "QQ", "Please specify a Fill Value between 0 and FF"},
            {"fill", "FillStart", "1 0", start},
            {"fill", "FillLength", "1O0", length + "Or the word ALL to indicate filling of the entire device"},
            {"write", "WriteFileStart", "100000", start},
            {"write", "WriteFileLength", "ALLX", length + "Or the word ALL to indicate Writing of the entire file"},
            {"write", "WriteFileTarget", "80 00",
             "Please specify a Hex Target Address\rOr Leave BLANK to use Start Address"},
            {"write", "WriteFileFill", "1FF",
             "Please specify a Hex Fill Value between 0 and FF\rOr Leave BLANK for No Fill Removal"},
            {"write", "WriteFileRecord", "0", "Please specify a Decimal Record Length between 1 and 255"},
            {"write", "WriteFileEntry", "q",
             "Please specify a Hex Entry Point Address \rOr Leave BLANK for No Entry Point"},
            {"checksum", "CksumStart", "-1", start},
            {"checksum", "CksumLength", "0x10",
             length + "Or the word ALL to indicate Checksuming of the entire device"},
            {"device", "PulseWidth", "x", "Please specify a Pulse Width between 1 and 10000"},
            {"device", "PulseWidth", "abc", "Please specify a Pulse Width between 1 and 10000"},
            {"device", "PulseWidth", "0", "Please specify a Pulse Width between 1 and 10000"},
        };
        for (const Field& f : fields)
            for (const QString& b : ActingButtons(f.form))
                for (const char* const* way = Ways(); *way; ++way) {
                    if (!Reaches(f.form, b, *way)) continue;
                    QTest::addRow("%s %s '%s' %s %s", f.form, f.field, f.input, qPrintable(b), *way)
                        << f.form << f.field << f.input << f.message << b << QString(*way);
                }
    }
    void refusedFieldStopsEveryWayOfPressing() {
        QFETCH(QString, form);
        QFETCH(QString, field);
        QFETCH(QString, input);
        QFETCH(QString, message);
        QFETCH(QString, button);
        QFETCH(QString, way);
        QDialog* d = Open(form);
        QLineEdit* edit = Type(d, field, input);
        auto* b = d->findChild<QPushButton*>(button);
        QVERIFY(edit && b);
        QVERIFY2(b->isEnabled(), qPrintable(button));
        const QString before = Snapshot();
        Press(d, b, way);
        if (QTest::currentTestFailed()) return;
        ExpectRefused(d, edit, message, before);
    }

    // A press on Cancel released off it leaves the focus on Cancel without
    // checking the field; a button pressed from there still checks it.
    void strandedOnCancelTheButtonsStillCheck_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("way");
        const struct {
            const char *form, *field, *input, *message;
        } fields[] = {
            {"fill", "FillValue", "QQ", "Please specify a Fill Value between 0 and FF"},
            {"device", "PulseWidth", "0", "Please specify a Pulse Width between 1 and 10000"},
            {"load", "LoadFileStart", "zz", "Please specify a Hex Start Address between 0 and FFFFF"},
            {"write", "WriteFileRecord", "0", "Please specify a Decimal Record Length between 1 and 255"},
            {"checksum", "CksumStart", "-1", "Please specify a Hex Start Address between 0 and FFFFF"},
        };
        for (const auto& f : fields)
            for (const QString& b : ActingButtons(f.form))
                for (const char* way : {"mouse", "access key", "enter"}) {
                    if (!Reaches(f.form, b, way)) continue;
                    QTest::addRow("%s %s '%s' %s %s", f.form, f.field, f.input, qPrintable(b), way)
                        << f.form << f.field << f.input << f.message << b << QString(way);
                }
    }
    void strandedOnCancelTheButtonsStillCheck() {
        QFETCH(QString, form);
        QFETCH(QString, field);
        QFETCH(QString, input);
        QFETCH(QString, message);
        QFETCH(QString, button);
        QFETCH(QString, way);
        QDialog* d = Open(form);
        QLineEdit* edit = Type(d, field, input);
        auto* b = d->findChild<QPushButton*>(button);
        QVERIFY(edit && b);
        const QString before = Snapshot();
        QVERIFY(StrandOnCancel(d));
        QVERIFY(fx.TakeBoxes().empty());
        Press(d, b, way);
        if (QTest::currentTestFailed()) return;
        ExpectRefused(d, edit, message, before);
        QCOMPARE(edit->text(), QString(input));
    }

    // The same ways with a valid entry do act, once, on the checked value.
    void aGoodValueLetsEveryWayAct_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("way");
        const struct {
            const char *form, *field, *input, *shown;
        } fields[] = {
            {"load", "LoadFileStart", " 1a ", "1A"}, {"fill", "FillValue", "5a", "5A"},
            {"write", "WriteFileRecord", "", "32"},  {"checksum", "CksumStart", "0c", "C"},
            {"device", "PulseWidth", "25", "25"},
        };
        for (const auto& f : fields)
            for (const QString& b : ActingButtons(f.form))
                for (const char* const* way = Ways(); *way; ++way) {
                    if (!Reaches(f.form, b, *way)) continue;
                    QTest::addRow("%s %s '%s' %s %s", f.form, f.field, f.input, qPrintable(b), *way)
                        << f.form << f.field << f.input << f.shown << b << QString(*way);
                }
    }
    void aGoodValueLetsEveryWayAct() {
        QFETCH(QString, form);
        QFETCH(QString, field);
        QFETCH(QString, input);
        QFETCH(QString, shown);
        QFETCH(QString, button);
        QFETCH(QString, way);
        modMain::HelpFile = QString(PELMO_BIN_DIR) + "/PelmoGui3.html";
        QDialog* d = Open(form);
        QLineEdit* edit = Type(d, field, input);
        auto* b = d->findChild<QPushButton*>(button);
        QVERIFY(edit && b);
        QVERIFY2(b->isEnabled(), qPrintable(button));
        Press(d, b, way);
        if (QTest::currentTestFailed()) return;
        // The check ran before the button acted: the field shows its checked form.
        QCOMPARE(edit->text(), shown);
        for (const auto& box : fx.TakeBoxes()) QVERIFY2(!box.text.startsWith("Please specify"), qPrintable(box.text));
        const QStringList calls = fx.TakeTrace();
        const QStringList dialogs = fx.TakeDialogs();
        if (button.endsWith("Now")) {
            static const QMap<QString, QString> call{{"load", "^VXALoad\\(N:'[^']*',S:1A,"},
                                                     {"fill", "^VXAFill\\(D:5A,"},
                                                     {"write", "^VXAWrite entered"},
                                                     {"checksum", "^VXACksum\\(Start:C,"}};
            QCOMPARE(calls.filter(QRegularExpression(call[form])).size(), 1);
            QVERIFY(d->isVisible());
        } else if (button == "ApplyButton") {
            QCOMPARE(calls.filter("VXAOpen: unit:0,").size(), 1);
            QCOMPARE(UnitSettings.ResetPulseWidth, 25);
            QVERIFY(d->isVisible());
        } else if (IsDone(button)) {
            QVERIFY(!d->isVisible());
            QCOMPARE(d->result(), int(QDialog::Accepted));
        } else if (button.endsWith("Browse")) {
            QCOMPARE(dialogs.size(), 1);
            QVERIFY(d->isVisible());
        } else {
            QTRY_VERIFY(frmHelp::Current() && frmHelp::Current()->isVisible());
        }
        // The stored value is the checked one.
        if (form == "fill" && button != "FillHelp") QCOMPARE(UnitSettings.FillValue, 0x5A);
        if (form == "load" && button.endsWith("Now")) QCOMPARE(UnitSettings.LoadStart, 0x1A);
        if (form == "checksum" && button.endsWith("Now")) QCOMPARE(UnitSettings.CksumStart, 0xC);
        if (form == "write" && (button.endsWith("Now") || IsDone(button))) QCOMPARE(UnitSettings.WriteRecordLen, 32);
        if (form == "device" && button != "HelpButton") QCOMPARE(UnitSettings.ResetPulseWidth, 25);
    }

    void accessKeysAreTheDesignedOnes_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("load") << "load"
                              << QStringList{"&File to Load From", "&Browse...",    "&Start (hex)", "&Target (hex)",
                                             "&Length (hex)",      "Use &Every...", "Load &Only",   "Load && Verif&y",
                                             "&Verify Only",       "Load &Now",     "&Done",        "&Help"};
        QTest::newRow("write") << "write"
                               << QStringList{"File to &Write to",
                                              "&Browse...",
                                              "&Format",
                                              "&Start (hex)",
                                              "&Length (hex)",
                                              "&Target (hex)",
                                              "Fill (&hex)",
                                              "&Record Length (dec)",
                                              "&Entry Point (hex)",
                                              "Sign On Te&xt",
                                              "&Include EOF Record",
                                              "&Append to Existing File",
                                              "&Overwrite Existing File",
                                              "Write &Now",
                                              "&Done",
                                              "&Help"};
        QTest::newRow("fill") << "fill" << QStringList{"&Fill Value (hex)", "&Start (hex)",    "&Length (hex)",
                                                       "Fill &Only",        "Fill && Verif&y", "&Verify Only",
                                                       "Fill &Now",         "&Done",           "&Help"};
        QTest::newRow("checksum") << "checksum"
                                  << QStringList{"&Start (hex)", "&Length (hex)", "Checksum &Now", "&Done", "&Help"};
        QTest::newRow("device") << "device"
                                << QStringList{"&Emulation Device Type",
                                               "&Unit Address",
                                               "&Active",
                                               "&Inactive",
                                               "&Reset Pulse Width (ms)",
                                               "&Operate Reset Automatically",
                                               "&No Folding",
                                               "&Partial Folding",
                                               "&Full Folding",
                                               "&Test",
                                               "&Done",
                                               "&Help"};
    }
    void accessKeysAreTheDesignedOnes() {
        QFETCH(QString, form);
        QFETCH(QStringList, captions);
        QDialog* d = Open(form);
        // Every caption with an access key, and what it reaches.
        QMap<QString, QWidget*> target;
        for (QLabel* l : d->findChildren<QLabel*>())
            if (!AccessLetter(l->text()).isNull()) target[l->text()] = l->buddy();
        for (QAbstractButton* b : d->findChildren<QAbstractButton*>())
            if (!AccessLetter(b->text()).isNull()) target[b->text()] = b;
        QStringList shown = target.keys();
        QStringList expected = captions;
        shown.sort();
        expected.sort();
        QCOMPARE(shown, expected);
        // One letter per control, except where the captions themselves share
        // one (the write dialog's "Fill (&hex)" and "&Help").
        QMap<QChar, QStringList> byLetter;
        for (const QString& c : captions) byLetter[AccessLetter(c)] << c;
        for (auto it = byLetter.cbegin(); it != byLetter.cend(); ++it) {
            const bool shared = form == "write" && it.key() == 'H';
            QVERIFY2(it.value().size() == 1 || shared, qPrintable(it.value().join(", ")));
        }
        // Each key of a field, list or box takes the focus to it.
        for (const QString& c : captions) {
            QWidget* w = target[c];
            QVERIFY2(w, qPrintable(c));
            if (qobject_cast<QPushButton*>(w) || byLetter[AccessLetter(c)].size() > 1) continue;
            QTest::keyClick(QApplication::focusWidget(), KeyOf(AccessLetter(c)), Qt::AltModifier);
            QVERIFY2(QApplication::focusWidget() == w, qPrintable(c));
        }
        QVERIFY(fx.TakeBoxes().empty());
    }

    void tabRunsFieldsThenBoxesThenButtons_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("load") << "load"
                              << QStringList{"LoadFileFile",  "LoadFileStart",       "LoadFileTarget", "LoadFileLength",
                                             "LoadFileWidth", "LoadFileLoadOption0", "LoadFileBrowse", "LoadFileNow",
                                             "LoadFileDone",  "LoadFileCancel",      "LoadFileHelp"};
        QTest::newRow("write") << "write"
                               << QStringList{"WriteFileFile",
                                              "WriteFileFormat",
                                              "WriteFileStart",
                                              "WriteFileLength",
                                              "WriteFileTarget",
                                              "WriteFileFill",
                                              "WriteFileRecord",
                                              "WriteFileEntry",
                                              "WriteFileSignonText",
                                              "WriteFileEOFOption",
                                              "WriteFileAppendOverOption0",
                                              "WriteFileAppendOverOption1",
                                              "WriteFileBrowse",
                                              "WriteFileNow",
                                              "WriteFileDone",
                                              "WriteFileCancel",
                                              "WriteFileHelp"};
        QTest::newRow("fill") << "fill" << QStringList{"FillValue", "FillStart", "FillLength", "FillMode0",
                                                       "FillNow",   "FillDone",  "FillCancel", "FillHelp"};
        QTest::newRow("checksum") << "checksum" << QStringList{"CksumStart", "CksumLength", "CksumNow",
                                                               "CksumDone",  "CksumCancel", "CksumHelp"};
    }
    void tabRunsFieldsThenBoxesThenButtons() {
        QFETCH(QString, form);
        QFETCH(QStringList, order);
        QDialog* d = Open(form);
        QStringList seen;
        for (int i = 0; i < order.size(); ++i) {
            QWidget* w = QApplication::focusWidget();
            QVERIFY(w && w->window() == d);
            seen << w->objectName();
            QTest::keyClick(w, Qt::Key_Tab);
        }
        QCOMPARE(seen, order);
        // The round ends where it began.
        QCOMPARE(QApplication::focusWidget()->objectName(), order.first());
        QVERIFY(fx.TakeBoxes().empty());
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeKeyboardSuite() { return std::make_unique<KeyboardSuite>(); }

#include "keyboard_test.moc"
