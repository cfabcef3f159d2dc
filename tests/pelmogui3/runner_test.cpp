// The runners and the unit state on the virtual unit, through the built library:
// busy texts, panel flags, the boxes of failures and successes, the arguments
// that reach the library, and the view snapshot around loads.
#include <QApplication>
#include <QPaintEvent>
#include <QRegularExpression>
#include <QTest>

#include "pelmogui3/modLib.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

// Records what the STATUS panel showed each time it was painted: the busy text
// has to reach the screen before the library call blocks the window.
class PaintedTexts : public QObject {
public:
    explicit PaintedTexts(QLabel* panel) : panel_(panel) { panel->installEventFilter(this); }
    ~PaintedTexts() override { panel_->removeEventFilter(this); }
    QStringList texts;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint && (texts.isEmpty() || texts.last() != panel_->text())) texts << panel_->text();
        return false;
    }

private:
    QLabel* panel_;
};

class RunnerSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

    // A 27256 virtual unit, as a first start leaves it, with an image to load.
    void StartWithImage() {
        fx.Start();
        QCOMPARE(UnitSettings.DevType, 5);
        QVERIFY(
            Shell("srec_cat -generate 0 0x400 -repeat-string 'PELMO GUI ' -o '" + fx.File("image.hex") + "' -intel"));
        UnitSettings.LoadFile = fx.File("image.hex");
        fx.TakeBoxes();
        fx.TakeTrace();
    }

private slots:
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void captionAndUnitPanelFollowTheUnit_data() {
        QTest::addColumn<int>("unit");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("unitPanel");
        QTest::newRow("0") << 0 << "  Pelmo EPROM Emulator"
                           << "UNIT: Unit 0";
        QTest::newRow("1") << 1 << " (1) Pelmo EPROM Emulator"
                           << "UNIT: Unit 1";
        QTest::newRow("2") << 2 << " (2) Pelmo EPROM Emulator"
                           << "UNIT: Unit 2";
        QTest::newRow("3") << 3 << " (3) Pelmo EPROM Emulator"
                           << "UNIT: Unit 3";
        QTest::newRow("virtual") << 4 << " (V) Pelmo EPROM Emulator"
                                 << "UNIT: Unit Virtual";
    }
    void captionAndUnitPanelFollowTheUnit() {
        QFETCH(int, unit);
        QFETCH(QString, caption);
        QFETCH(QString, unitPanel);
        fx.Start();
        UnitSettings.Unit = unit;
        modMain::SetStatus("");
        QCOMPARE(fx.Main()->windowTitle(), caption);
        QCOMPARE(fx.Panel(1, 1), unitPanel);
        QCOMPARE(fx.PanelEnabled(1, 3), unit != 4);
    }

    void setStatusKeepsThePreviousTextAndProperCase() {
        fx.Start();
        QCOMPARE(modMain::SetStatus("LOADING... NOW"), QString("EMULATING"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Loading... Now"));
        // An empty text refreshes the other panels only.
        UnitSettings.CksumResult = 0x12ab;
        QCOMPARE(modMain::SetStatus(""), QString("LOADING... NOW"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Loading... Now"));
        QCOMPARE(fx.Panel(2, 1), QString("SUM: 0000-12AB"));
        UnitSettings.CksumResult = 0xFEDCBA98u;
        modMain::SetStatus("");
        QCOMPARE(fx.Panel(2, 1), QString("SUM: FEDC-BA98"));
    }

    void resetTextFollowsTheLevels_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<int>("active");
        QTest::addColumn<int>("inactive");
        QTest::addColumn<QString>("text");
        QTest::newRow("inactive") << 1 << 0 << 1 << "HIGH (Inactive)";
        QTest::newRow("active") << 0 << 0 << 1 << "LOW (Active)";
        QTest::newRow("neither") << 2 << 0 << 1 << "HI-Z";
        QTest::newRow("both levels HI-Z") << 2 << 2 << 2 << "HI-Z (Inactive)";
    }
    void resetTextFollowsTheLevels() {
        QFETCH(int, state);
        QFETCH(int, active);
        QFETCH(int, inactive);
        QFETCH(QString, text);
        fx.Start();
        UnitSettings.Unit = 1;
        UnitSettings.ResetState = state;
        UnitSettings.ResetActive = active;
        UnitSettings.ResetInactive = inactive;
        modMain::SetStatus("");
        QCOMPARE(fx.Panel(1, 3), "RESET: " + text);
        // No type chosen, or the virtual unit: nothing to tell.
        UnitSettings.DevType = 0;
        QCOMPARE(modMain::ResetStateText(), QString());
        UnitSettings.DevType = 5;
        UnitSettings.Unit = 4;
        QCOMPARE(modMain::ResetStateText(), QString());
    }

    void quickLoadOnlyBeepsAndEnablesTheFilePanel() {
        StartWithImage();
        UnitSettings.SumValid = true;
        PaintedTexts painted(fx.Main()->sbStatusBar->panel(0));
        fx.Main()->mnuQuickLoad->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(modMain::BeepCount, 1);
        QVERIFY(UnitSettings.FileLoaded);
        QVERIFY(fx.PanelEnabled(2, 0));
        QCOMPARE(fx.Panel(2, 0), "FILE: " + UnitSettings.LoadFile);
        QVERIFY(!fx.PanelEnabled(2, 1));
        QCOMPARE(painted.texts, QStringList({"STATUS: Loading...", "STATUS: Emulating"}));
        QVERIFY(QApplication::overrideCursor() == nullptr);
        // The image is in the unit: a checksum of it equals the bytes' sum.
        QString bin;
        QVERIFY(Shell("srec_cat '" + fx.File("image.hex") + "' -intel -o - -binary | od -An -v -tu1", &bin));
        uint32_t sum = 0;
        for (const QString& b : bin.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) sum += b.toUInt();
        UnitSettings.CksumLength = 0x400;
        fx.Main()->mnuQuickChecksum->trigger();
        QCOMPARE(UnitSettings.CksumResult, sum);
    }

    void loadFailuresShowTheLibraryText_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("contents");
        QTest::addColumn<QString>("says");
        QTest::newRow("missing file") << "missing.hex" << QString() << "CAN'T OPEN LOAD FILE";
        QTest::newRow("malformed HEX") << "bad.hex"
                                       << ":0100000041BE\n:10000000ZZ\n"
                                       << "INVALID HEX DIGIT";
        QTest::newRow("checksum error") << "sum.hex"
                                        << ":0100000041BE\n:0100010041FF\n:00000001FF\n"
                                        << "CHECKSUM MISMATCH";
    }
    void loadFailuresShowTheLibraryText() {
        QFETCH(QString, file);
        QFETCH(QString, contents);
        QFETCH(QString, says);
        StartWithImage();
        if (!contents.isNull()) {
            QFile f(fx.File(file));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(contents.toLatin1());
        }
        UnitSettings.LoadFile = fx.File(file);
        UnitSettings.FileLoaded = true;
        UnitSettings.SumValid = true;
        fx.Main()->mnuQuickLoad->trigger();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("LOAD OPERATION FAILED\r"), qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.contains(says), qPrintable(boxes[0].text));
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::Exclamation));
        QCOMPARE(boxes[0].title, QString(" Pelmo Error -- Quick Load"));
        QCOMPARE(modMain::BeepCount, 0);
        QVERIFY(!fx.PanelEnabled(2, 0));
        QVERIFY(!fx.PanelEnabled(2, 1));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void setupRunsShowTheSuccessBox_data() {
        QTest::addColumn<int>("loadMode");
        QTest::addColumn<QString>("busy");
        QTest::addColumn<QString>("line");
        QTest::newRow("load") << 0 << "STATUS: Loading..."
                              << "LOAD OPERATION SUCCESSFUL";
        QTest::newRow("load and verify") << 1 << "STATUS: Loading..."
                                         << "LOAD OPERATION SUCCESSFUL";
        QTest::newRow("verify only") << 2 << "STATUS: Verifying..."
                                     << "VERIFY OPERATION SUCCESSFUL";
    }
    void setupRunsShowTheSuccessBox() {
        QFETCH(int, loadMode);
        QFETCH(QString, busy);
        QFETCH(QString, line);
        StartWithImage();
        if (loadMode == 2) modMain::RunLoad("Setup Load", false);  // something to verify against
        UnitSettings.LoadMode = loadMode;
        PaintedTexts painted(fx.Main()->sbStatusBar->panel(0));
        modMain::RunLoad("Setup Load", true);
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith(line + "\r"), qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.contains(" Completed "), qPrintable(boxes[0].text));
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::None));
        QCOMPARE(boxes[0].title, QString(" Pelmo Setup Load"));
        QVERIFY(painted.texts.contains(busy));
    }

    void verifyOnlyAgainstOtherContentsFails() {
        StartWithImage();
        UnitSettings.FillValue = 0;
        modMain::RunFill("Quick Fill", false);
        UnitSettings.LoadMode = 2;
        modMain::RunLoad("Quick Load", false);
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("VERIFY OPERATION FAILED\r"), qPrintable(boxes[0].text));
        QVERIFY(!UnitSettings.FileLoaded);
    }

    void checksumBoxOnlyWhileTheStatusBarsAreHidden() {
        StartWithImage();
        fx.Main()->mnuQuickFill->trigger();  // FF over the whole 27256
        QCOMPARE(modMain::BeepCount, 1);
        fx.Main()->mnuQuickChecksum->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(modMain::BeepCount, 2);
        QCOMPARE(fx.Panel(2, 1), QString("SUM: 007F-8000"));
        QVERIFY(fx.PanelEnabled(2, 1));

        fx.Main()->mnuViewStatusBar->trigger();
        QVERIFY(!fx.Main()->StatusBarsShown());
        PaintedTexts painted(fx.Main()->sbStatusBar->panel(0));
        UnitSettings.CksumLength = 0x100;
        fx.Main()->Button("QuickChecksum")->trigger();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("CHECKSUM OPERATION SUCCESSFUL\r"), qPrintable(boxes[0].text));
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::None));
        QCOMPARE(boxes[0].title, QString(" Pelmo Quick Checksum"));
        QCOMPARE(UnitSettings.CksumResult, 0xFFu * 0x100);
        QCOMPARE(modMain::BeepCount, 2);
        QVERIFY(painted.texts.isEmpty());  // hidden bars are not painted

        // A fill makes both panels stale again, even when it fails.
        UnitSettings.FileLoaded = true;
        UnitSettings.FillStart = 0x8000;  // beyond a 27256
        fx.Main()->mnuQuickFill->trigger();
        const auto fail = fx.TakeBoxes();
        QCOMPARE(fail.size(), size_t(1));
        QVERIFY2(fail[0].text.startsWith("FILL OPERATION FAILED\r"), qPrintable(fail[0].text));
        QVERIFY(fail[0].text.contains("INVALID START ARGUMENT"));
        QCOMPARE(fail[0].title, QString(" Pelmo Error -- Quick Fill"));
        QVERIFY(!UnitSettings.FileLoaded);
        QVERIFY(!UnitSettings.SumValid);
    }

    void argumentsReachTheLibraryInOrder() {
        StartWithImage();
        UnitSettingsRecord& s = UnitSettings;
        s.LoadStart = 0x10;
        s.LoadTarget = 0x20;
        s.LoadLength = 0x30;
        s.LoadWidth = 2;
        s.LoadMode = 1;
        s.FoldingMode = 0;
        modMain::RunLoad("Setup Load", true);
        s.FillValue = 0xA5;
        s.FillStart = 0x100;
        s.FillLength = 0x200;
        s.FillMode = 1;
        s.FoldingMode = 2;
        modMain::RunFill("Setup Fill", true);
        s.CksumStart = 0x40;
        s.CksumLength = 0x50;
        modMain::RunChecksum("Setup Checksum", true);
        s.WriteFile = fx.File("out.s37");
        s.WriteStart = 0x100;
        s.WriteLength = 0x80;
        s.WriteAppendOverOption = 2;
        s.WriteFormat = 5;
        s.WriteEOFOption = 1;
        s.WriteRecordLen = 16;
        s.WriteFillValue = 256;
        s.WriteTargetOption = 1;
        s.WriteTarget = 0x8000;
        s.WriteEntryOption = 1;
        s.WriteEntryAddress = 0x8004;
        s.WriteSignon = "SIGN";
        modMain::RunWrite("Setup Write", true);
        const QStringList trace = fx.TakeTrace();
        const QString all = trace.join('\n');
        for (const char* line : {"VXALoad(N:'%1',S:10,T:20,L:30,W:2,V:1,F:0)", "VXAFill(D:A5,S:100,L:200,V:1,F:2)",
                                 "VXACksum(Start:40,Len:50,Fold:2)", "  FileName ='%2'", "  Start=100 Length=80 Mode=2",
                                 "  Format=5 EOFOption=1 RecLen=16 FillValue=100",
                                 "  TargetOption=1 Target=8000 EntryOption=1 EntryAddr=8004 Signon='SIGN'"})
            QVERIFY2(trace.contains(QString(line).replace("%1", s.LoadFile).replace("%2", s.WriteFile)),
                     qPrintable(QString(line) + "\n" + all));
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(4));
        QVERIFY2(boxes[3].text.startsWith("WRITE OPERATION SUCCESSFUL\r"), qPrintable(boxes[3].text));
        QCOMPARE(boxes[3].title, QString(" Pelmo Setup Write"));
        QCOMPARE(boxes[2].title, QString(" Pelmo Setup Checksum"));
    }

    void quickWriteRoundTripsThroughSrecord() {
        StartWithImage();
        fx.Main()->mnuQuickLoad->trigger();
        UnitSettings.WriteFile = fx.File("copy.hex");
        UnitSettings.WriteFormat = 1;
        UnitSettings.WriteLength = 0x400;
        UnitSettings.WriteFillValue = 256;
        fx.Main()->mnuQuickWrite->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(modMain::BeepCount, 2);
        QString out;
        QVERIFY2(Shell("srec_cmp '" + fx.File("image.hex") + "' -intel '" + fx.File("copy.hex") + "' -intel", &out),
                 qPrintable(out));
    }

    void writeFailuresShowTheLibraryText_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("mode");
        QTest::newRow("folder that does not exist") << "no-such-folder/out.hex" << 0;
        QTest::newRow("new file that exists") << "exists.hex" << 0;
        QTest::newRow("append to a folder") << "." << 1;
    }
    void writeFailuresShowTheLibraryText() {
        QFETCH(QString, file);
        QFETCH(int, mode);
        StartWithImage();
        QFile existing(fx.File("exists.hex"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("keep me\n");
        existing.close();
        UnitSettings.WriteFile = fx.File(file);
        UnitSettings.WriteFormat = 1;
        UnitSettings.WriteAppendOverOption = mode;
        fx.Main()->mnuQuickWrite->trigger();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("WRITE OPERATION FAILED\r"), qPrintable(boxes[0].text));
        QVERIFY(boxes[0].text.size() > QString("WRITE OPERATION FAILED\r").size());
        QCOMPARE(boxes[0].title, QString(" Pelmo Error -- Quick Write"));
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("keep me\n"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
    }

    void checkReadyStopsBeforeTheLibrary_data() {
        QTest::addColumn<int>("runner");
        QTest::addColumn<bool>("typeChosen");
        QTest::addColumn<QString>("text");
        const char* noType =
            "Please use Setup/Device to\rSelect an Emulation Device Type\rBefore performing a %1 Operation";
        const char* noFile = "Please Use Setup/%1 to Select a File to %1\rBefore Performing this Operation";
        QTest::newRow("load, no type") << 0 << false << QString(noType).arg("Load");
        QTest::newRow("write, no type") << 1 << false << QString(noType).arg("Write");
        QTest::newRow("fill, no type") << 2 << false << QString(noType).arg("Fill");
        QTest::newRow("checksum, no type") << 3 << false << QString(noType).arg("Checksum");
        QTest::newRow("view, no type") << 4 << false << QString(noType).arg("View");
        QTest::newRow("load, no file") << 0 << true << QString(noFile).arg("Load");
        QTest::newRow("write, no file") << 1 << true << QString(noFile).arg("Write");
    }
    void checkReadyStopsBeforeTheLibrary() {
        QFETCH(int, runner);
        QFETCH(bool, typeChosen);
        QFETCH(QString, text);
        fx.Start();
        fx.TakeBoxes();
        fx.TakeTrace();
        if (!typeChosen) UnitSettings.DevType = 0;
        UnitSettings.LoadFile.clear();
        UnitSettings.WriteFile.clear();
        switch (runner) {
        case 0: modMain::RunLoad("Setup Load", true); break;
        case 1: modMain::RunWrite("Setup Write", true); break;
        case 2: modMain::RunFill("Setup Fill", true); break;
        case 3: modMain::RunChecksum("Setup Checksum", true); break;
        default: QVERIFY(!modMain::RunView("VIEW")); break;
        }
        const char* titles[] = {"Setup Load", "Setup Write", "Setup Fill", "Setup Checksum", "VIEW"};
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0], text, BoxIcon::Exclamation, QString(" Pelmo Error -- ") + titles[runner]);
        QVERIFY(fx.TakeTrace().isEmpty());
    }

    void loadsThatChangeRamCloseTheView() {
        StartWithImage();
        QVERIFY(modMain::RunView("VIEW"));
        QVERIFY(fx.TakeBoxes().empty());
        // What the view window does once its snapshot is taken.
        modMain::ViewOpen = true;
        fx.Main()->SetViewToggle(true);
        QCOMPARE(fx.Main()->mnuViewOpen->text(), QString("Close &View Window"));
        char dump[1400];
        UnitSettings.LoadMode = 2;
        modMain::RunLoad("Quick Load", false);  // verify only: RAM unchanged, view stays
        QVERIFY(modMain::ViewOpen);
        QCOMPARE(emu::VXAViewFormat(dump, 0, 16, 16), 0);
        UnitSettings.LoadMode = 0;
        modMain::RunLoad("Quick Load", false);
        QVERIFY(!modMain::ViewOpen);
        QCOMPARE(emu::VXAViewFormat(dump, 0, 16, 16), 1);
        QCOMPARE(QString::fromLatin1(dump), QString("ViewFormat:NOT OPEN"));
        QCOMPARE(fx.Main()->mnuViewOpen->text(), QString("Open &View Window"));
        QVERIFY(!fx.Main()->Button("OpenView")->isChecked());
        QCOMPARE(fx.Main()->Button("OpenView")->toolTip(), QString("Open View Window"));
    }

    void resetCommandsOnTheVirtualUnit() {
        fx.Start();
        fx.TakeBoxes();
        fx.TakeTrace();
        for (int item = 0; item < 6; ++item) {
            fx.Main()->mnuQuickResetFunction[item]->trigger();
            const auto boxes = fx.TakeBoxes();
            QCOMPARE(boxes.size(), size_t(1));
            EXPECT_BOX(boxes[0], "This operation is not valid on a virtual unit", BoxIcon::Exclamation,
                       " Pelmo Error --  Set Reset");
        }
        fx.Main()->Button("QuickReset")->trigger();
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
        QVERIFY(!fx.TakeTrace().join('\n').contains("VXASetReset"));
        // With no type chosen the command opens the device set-up instead.
        UnitSettings.DevType = 0;
        fx.Main()->mnuQuickResetFunction[5]->trigger();
        QCOMPARE(fx.TakeOpened(), QString("frmSetupDevice"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Not Set Up"));
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeRunnerSuite() { return std::make_unique<RunnerSuite>(); }

#include "runner_test.moc"
