// The main window on simulated USB units through the built library: the unit
// found at start, sizing against the unit's RAM, the reset commands, and a unit
// that is unplugged in the middle of a load.
#include <QApplication>
#include <QTest>
#include <cstdlib>

#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class UsbSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

private slots:
    void initTestCase() { qputenv("PELMO_SIM_USB", "unit=1,ram=512;unit=2,ram=256"); }
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void startTakesTheFirstUnitThatAnswers() {
        fx.Start();
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(UnitSettings.Unit, 1);
        QCOMPARE(modReg::SectionName, QString("Settings1"));
        QCOMPARE(fx.Main()->windowTitle(), QString(" (1) Pelmo EPROM Emulator"));
        QCOMPARE(fx.Panel(1, 1), QString("UNIT: Unit 1"));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: HI-Z (Inactive)"));
        QVERIFY(fx.PanelEnabled(1, 3));
        QCOMPARE(UnitSettings.MaxK, 512);
        QVERIFY(fx.TakeTrace().contains("VXASetReset(2,0,2)"));
    }

    void deviceLargerThanTheRamIsRefused() {
        fx.Stored(1, "DevType", "A");  // 27080, 1 MB, on a 512 KB unit
        fx.Start();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0],
                   "Insufficient RAM for requested device type on\rselected unit, max emulated ROM is 512K bytes",
                   BoxIcon::Exclamation, " Pelmo Error -- Initialization");
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmSetupDevice"}));
        QCOMPARE(UnitSettings.DevType, 0);
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Not Set Up"));
        QCOMPARE(fx.Panel(1, 2), QString("TYPE: (none)"));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: "));
        // The largest type that fits opens.
        UnitSettings.DevType = 9;
        modMain::OpenUnit("Device Setup");
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(UnitSettings.DevType, 9);
        QCOMPARE(UnitSettings.DevSize, 0x80000);
    }

    void unitThatDoesNotAnswerCannotBeOpened() {
        fx.Start();
        fx.TakeBoxes();
        UnitSettings.Unit = 3;
        modMain::OpenUnit("Device Setup");
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("UNABLE TO ACCESS UNIT 3\rDEVICE FAILURE (SUBCODE 000-"),
                 qPrintable(boxes[0].text));
        QCOMPARE(boxes[0].title, QString(" Pelmo Error -- Device Setup"));
        QCOMPARE(UnitSettings.DevType, 0);
        QCOMPARE(UnitSettings.MaxK, 1024);
    }

    void pulseResetPassesTheWidthAndEndsInactive() {
        fx.Stored(1, "ResetActive", "0");
        fx.Stored(1, "ResetInactive", "1");
        fx.Stored(1, "ResetPulseWidth", "64");
        fx.Start();
        fx.TakeTrace();
        fx.Main()->Button("QuickReset")->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(fx.TakeTrace().contains("VXASetReset(0,100,1)"));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: HIGH (Inactive)"));
        QCOMPARE(UnitSettings.ResetState, 1);
    }

    void resetItemsSetTheirLevel_data() {
        QTest::addColumn<int>("item");
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("panel");
        QTest::newRow("active") << 0 << "VXASetReset(0,0,0)"
                                << "RESET: LOW (Active)";
        QTest::newRow("inactive") << 1 << "VXASetReset(1,0,1)"
                                  << "RESET: HIGH (Inactive)";
        QTest::newRow("low") << 2 << "VXASetReset(0,0,0)"
                             << "RESET: LOW (Active)";
        QTest::newRow("high") << 3 << "VXASetReset(1,0,1)"
                              << "RESET: HIGH (Inactive)";
        QTest::newRow("hi-z") << 4 << "VXASetReset(2,0,2)"
                              << "RESET: HI-Z";
        QTest::newRow("pulse") << 5 << "VXASetReset(0,10,1)"
                               << "RESET: HIGH (Inactive)";
    }
    void resetItemsSetTheirLevel() {
        QFETCH(int, item);
        QFETCH(QString, call);
        QFETCH(QString, panel);
        fx.Stored(1, "ResetActive", "0");
        fx.Stored(1, "ResetInactive", "1");
        fx.Start();
        fx.TakeTrace();
        fx.Main()->mnuQuickResetFunction[item]->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(fx.TakeTrace().contains(call));
        QCOMPARE(fx.Panel(1, 3), panel);
    }

    void autoResetOperationEndsOnTheInactiveLevel() {
        fx.Stored(1, "ResetActive", "0");
        fx.Stored(1, "ResetInactive", "1");
        fx.Start();
        fx.TakeTrace();
        fx.Main()->mnuQuickChecksum->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        const QStringList trace = fx.TakeTrace();
        QVERIFY(trace.contains("VXASetReset(0,0,0)"));
        QVERIFY(trace.contains("VXASetReset(1,0,1)"));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: HIGH (Inactive)"));
        QVERIFY(fx.PanelEnabled(2, 1));
    }
};

// A unit that is unplugged while an image is loaded into it.
class UsbVanishSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

private slots:
    void initTestCase() { qputenv("PELMO_SIM_USB", qgetenv("GUI_VANISH_BUS")); }
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void unitVanishingMidLoadLeavesTheWindowWorking() {
        QVERIFY2(!qgetenv("PELMO_SIM_USB").isEmpty(), "GUI_VANISH_BUS names the bus");
        fx.Stored(0, "DevType", "A");  // 27080, 1 MB
        fx.Start();
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(
            Shell("srec_cat -generate 0 0x100000 -repeat-string 'VANISHING ' -o '" + fx.File("big.hex") + "' -intel"));
        UnitSettings.LoadFile = fx.File("big.hex");
        UnitSettings.SumValid = true;
        fx.Main()->mnuQuickLoad->trigger();
        auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("LOAD OPERATION FAILED\r"), qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.contains("DEVICE FAILURE"), qPrintable(boxes[0].text));
        QCOMPARE(boxes[0].title, QString(" Pelmo Error -- Quick Load"));
        QVERIFY(!fx.PanelEnabled(2, 0));
        QVERIFY(!fx.PanelEnabled(2, 1));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: HI-Z (Inactive)"));
        // The window goes on answering: the next commands fail with their own boxes.
        fx.Main()->mnuQuickChecksum->trigger();
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("CHECKSUM OPERATION FAILED\r"), qPrintable(boxes[0].text));
        QVERIFY(!fx.PanelEnabled(2, 1));
        UnitSettings.ResetState = 2;
        fx.Main()->mnuQuickResetFunction[3]->trigger();
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("DEVICE FAILURE (SUBCODE 000-"), qPrintable(boxes[0].text));
        QVERIFY(boxes[0].text.endsWith(")\r"));
        QCOMPARE(boxes[0].title, QString(" Pelmo Error -- Set Reset"));
        QCOMPARE(UnitSettings.ResetState, 2);  // unchanged by the failed command
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeUsbSuite() { return std::make_unique<UsbSuite>(); }
std::unique_ptr<QObject> guitest::MakeUsbVanishSuite() { return std::make_unique<UsbVanishSuite>(); }

#include "usb_test.moc"
