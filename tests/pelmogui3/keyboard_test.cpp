// The setup dialogs as a keyboard user meets them, on simulated USB unit 0:
// whichever way a button is pressed (mouse, access key, Enter on the default
// button, Space on a focused button, a command that clicks it), a refused field
// stops it with the field's own message and keeps the focus; every access key
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
        .arg(s.Unit).arg(s.DevType).arg(s.ResetPulseWidth).arg(s.ResetActive).arg(s.FoldingMode)
        .arg(s.LoadFile).arg(s.LoadStart).arg(s.LoadTarget).arg(s.LoadLength)
        .arg(s.FillValue).arg(s.FillStart).arg(s.FillLength)
        .arg(s.WriteFile).arg(s.WriteStart).arg(s.WriteLength).arg(s.WriteTarget).arg(s.WriteTargetOption)
        .arg(s.WriteFillValue).arg(s.WriteRecordLen).arg(s.WriteEntryAddress)
        .arg(s.CksumStart).arg(s.CksumLength).arg(modMain::BeepCount);
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
        const QMap<QString, QStringList> buttons{{"load", {"LoadFileNow", "LoadFileDone", "LoadFileBrowse"}},
                                                 {"fill", {"FillNow", "FillDone"}},
                                                 {"write", {"WriteFileNow", "WriteFileDone"}},
                                                 {"checksum", {"CksumNow", "CksumDone"}},
                                                 {"device", {"ApplyButton", "DoneButton"}}};
        for (const Field& f : fields)
            for (const QString& b : buttons[f.form])
                for (const char* way : {"mouse", "access key", "enter", "space", "command"}) {
                    // Enter presses the default button only.
                    if (QByteArray(way) == "enter" && !b.endsWith("Done")) continue;
                    QTest::addRow("%s %s '%s' %s %s", f.form, f.field, f.input, qPrintable(b), way)
                        << f.form << f.field << f.input << f.message << b << way;
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
        auto* edit = d->findChild<QLineEdit*>(field);
        auto* b = d->findChild<QPushButton*>(button);
        QVERIFY(edit && b);
        QVERIFY2(b->isEnabled(), qPrintable(button));
        edit->setFocus();
        QTRY_VERIFY(edit->hasFocus());
        edit->setText(input);
        fx.TakeBoxes();
        fx.TakeTrace();
        const QString before = Snapshot();

        if (way == "mouse") {
            QTest::mouseClick(b, Qt::LeftButton);
        } else if (way == "access key") {
            QTest::keyClick(QApplication::focusWidget(), KeyOf(AccessLetter(b->text())), Qt::AltModifier);
        } else if (way == "enter") {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        } else if (way == "space") {
            // The focus travels to the button (as by Tab), then Space goes to
            // whatever has the focus.
            b->setFocus(Qt::TabFocusReason);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        } else {
            b->click();
        }
        // An access key presses the button for a moment before it clicks: wait
        // for it to come up, so a click that slipped through has happened.
        QTRY_VERIFY(!b->isDown());

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
    }

    void aGoodValueLetsTheAccessKeyAct() {
        // The same road with a valid entry does run: the fill happens, once.
        QDialog* d = Open("fill");
        auto* value = d->findChild<QLineEdit*>("FillValue");
        value->setFocus();
        QTRY_VERIFY(value->hasFocus());
        value->setText("5a");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_N, Qt::AltModifier);
        QTRY_VERIFY(!d->findChild<QPushButton*>("FillNow")->isDown());
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
        QCOMPARE(fx.TakeTrace().filter(QRegularExpression("^VXAFill\\(D:5A,")).size(), 1);
        QCOMPARE(UnitSettings.FillValue, 0x5A);
        QCOMPARE(value->text(), QString("5A"));
    }

    void accessKeysAreTheDesignedOnes_data() {
        QTest::addColumn<QString>("form");
        QTest::addColumn<QStringList>("captions");
        QTest::newRow("load") << "load"
                              << QStringList{"&File to Load From", "&Browse...", "&Start (hex)", "&Target (hex)",
                                             "&Length (hex)", "Use &Every...", "Load &Only", "Load && Verif&y",
                                             "&Verify Only", "Load &Now", "&Done", "&Help"};
        QTest::newRow("write") << "write"
                               << QStringList{"File to &Write to", "&Browse...", "&Format", "&Start (hex)",
                                              "&Length (hex)", "&Target (hex)", "Fill (&hex)",
                                              "&Record Length (dec)", "&Entry Point (hex)", "Sign On Te&xt",
                                              "&Include EOF Record", "&Append to Existing File",
                                              "&Overwrite Existing File", "Write &Now", "&Done", "&Help"};
        QTest::newRow("fill") << "fill"
                              << QStringList{"&Fill Value (hex)", "&Start (hex)", "&Length (hex)", "Fill &Only",
                                             "Fill && Verif&y", "&Verify Only", "Fill &Now", "&Done", "&Help"};
        QTest::newRow("checksum") << "checksum"
                                  << QStringList{"&Start (hex)", "&Length (hex)", "Checksum &Now", "&Done", "&Help"};
        QTest::newRow("device") << "device"
                                << QStringList{"&Emulation Device Type", "&Unit Address", "&Active", "&Inactive",
                                               "&Reset Pulse Width (ms)", "&Operate Reset Automatically",
                                               "&No Folding", "&Partial Folding", "&Full Folding", "&Test", "&Done",
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
                              << QStringList{"LoadFileFile", "LoadFileStart", "LoadFileTarget", "LoadFileLength",
                                             "LoadFileWidth", "LoadFileLoadOption0", "LoadFileBrowse",
                                             "LoadFileNow", "LoadFileDone", "LoadFileCancel", "LoadFileHelp"};
        QTest::newRow("write") << "write"
                               << QStringList{"WriteFileFile", "WriteFileFormat", "WriteFileStart",
                                              "WriteFileLength", "WriteFileTarget", "WriteFileFill",
                                              "WriteFileRecord", "WriteFileEntry", "WriteFileSignonText",
                                              "WriteFileEOFOption", "WriteFileAppendOverOption0",
                                              "WriteFileAppendOverOption1", "WriteFileBrowse", "WriteFileNow",
                                              "WriteFileDone", "WriteFileCancel", "WriteFileHelp"};
        QTest::newRow("fill") << "fill"
                              << QStringList{"FillValue", "FillStart", "FillLength", "FillMode0", "FillNow",
                                             "FillDone", "FillCancel", "FillHelp"};
        QTest::newRow("checksum") << "checksum"
                                  << QStringList{"CksumStart", "CksumLength", "CksumNow", "CksumDone", "CksumCancel",
                                                 "CksumHelp"};
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
