// The device setup dialog on simulated USB units 0 (256 KB) and 1 (1 MB) and
// the virtual unit: what it enables, how it checks the pulse width, what Test
// and Done open, and how a unit change saves and offers settings.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QRadioButton>
#include <QTest>

#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class DeviceSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;
    std::unique_ptr<frmSetupDevice> dialog;

    frmSetupDevice* Open() {
        // The dialog is driven here, not answered by the fixture's modal watch.
        fx.onDeviceSetup = [](frmSetupDevice*) {};
        dialog = std::make_unique<frmSetupDevice>(fx.Main());
        dialog->show();
        return dialog.get();
    }
    static void Choose(QComboBox* box, int index) {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

private slots:
    void initTestCase() { qputenv("PELMO_SIM_USB", "unit=0,ram=256;unit=1,ram=1024"); }
    void init() {
        fx.Reset();
        fx.Start();
        // A start whose unit did not open asks for the device itself: its dialog
        // and box would be counted by the test that follows. Say so here.
        const QStringList shown = fx.TakeDialogs();
        QStringList texts;
        for (const auto& box : fx.TakeBoxes()) texts << box.title + ": " + box.text;
        QVERIFY2(shown.isEmpty() && texts.isEmpty(),
                 qPrintable("the start was not clean: " + shown.join(',') + " " + texts.join(" | ")));
        fx.TakeTrace();
    }
    void cleanup() {
        dialog.reset();
        fx.Drop();
    }

    void opensWithTheRecordsValues() {
        UnitSettings.ResetActive = 0;
        UnitSettings.ResetInactive = 1;
        UnitSettings.ResetPulseWidth = 250;
        UnitSettings.FoldingMode = 2;
        UnitSettings.AutoReset = 0;
        frmSetupDevice* d = Open();
        QCOMPARE(d->windowTitle(), QString(" Pelmo Device Setup"));
        QCOMPARE(d->Unit->currentText(), QString("0"));
        QCOMPARE(d->DeviceType->currentText(), QString("27256 (32K)"));
        QCOMPARE(d->Active->currentText(), QString("Low"));
        QCOMPARE(d->Inactive->currentText(), QString("High"));
        QCOMPARE(d->PulseWidth->text(), QString("250"));
        QVERIFY(d->Folding[2]->isChecked() && !d->Folding[0]->isChecked() && !d->Folding[1]->isChecked());
        QVERIFY(!d->AutoReset->isChecked());
        QCOMPARE(d->DeviceType->count(), 11);
        QCOMPARE(d->DeviceType->itemText(10), QString("27080 (1M)"));
    }

    void virtualUnitHasNoResetOrFolding() {
        frmSetupDevice* d = Open();
        QList<QWidget*> real{d->Active,     d->Inactive,   d->PulseWidth, d->AutoReset,
                             d->Folding[0], d->Folding[1], d->Folding[2]};
        UnitSettings.DevType = 5;
        Choose(d->Unit, 4);
        for (QWidget* w : real) QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
        QVERIFY(fx.TakeBoxes().empty());  // nothing stored for unit 4: no question
        Choose(d->Unit, 0);
        for (QWidget* w : real) QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
        // Unit 0's settings were stored when it was left: now they are offered.
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
    }

    void noTypeChosenDisablesTestAndDoneRefuses() {
        frmSetupDevice* d = Open();
        Choose(d->DeviceType, 0);
        QVERIFY(!d->ApplyButton->isEnabled());
        d->DoneButton->click();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0], "Please select an Emulation Device Type", BoxIcon::Exclamation,
                   " Pelmo Error -- Setup Device");
        QVERIFY(d->isVisible());
        QCOMPARE(UnitSettings.DevType, 5);  // nothing applied
    }

    void pulseWidthOutsideTheRangeIsRefused_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("0") << "0" << false;
        QTest::newRow("10001") << "10001" << false;
        QTest::newRow("abc") << "abc" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("1") << "1" << true;
        QTest::newRow("10000") << "10000" << true;
    }
    void pulseWidthOutsideTheRangeIsRefused() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        frmSetupDevice* d = Open();
        d->PulseWidth->setText(text);
        d->DoneButton->click();
        const auto boxes = fx.TakeBoxes();
        if (valid) {
            QVERIFY(boxes.empty());
            QVERIFY(!d->isVisible());
            QCOMPARE(UnitSettings.ResetPulseWidth, text.toInt());
        } else {
            QCOMPARE(boxes.size(), size_t(1));
            EXPECT_BOX(boxes[0], "Please specify a Pulse Width between 1 and 10000", BoxIcon::Exclamation,
                       " Pelmo Device Setup");
            QVERIFY(d->isVisible());
            QCOMPARE(UnitSettings.ResetPulseWidth, 10);
        }
    }

    void leavingThePulseWidthChecksItButCancelDoesNot() {
        frmSetupDevice* d = Open();
        d->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(d));
        d->PulseWidth->setFocus();
        QTRY_VERIFY(d->PulseWidth->hasFocus());
        d->PulseWidth->setText("0");
        d->Active->setFocus();
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
        QTRY_VERIFY(d->PulseWidth->hasFocus());
        d->CancelButton->setFocus();
        QVERIFY(fx.TakeBoxes().empty());
        d->CancelButton->click();
        QVERIFY(!d->isVisible());
        QCOMPARE(UnitSettings.ResetPulseWidth, 10);
    }

    void testOpensTheUnitWithTheDialogsValues() {
        frmSetupDevice* d = Open();
        Choose(d->Unit, 1);
        QVERIFY(fx.TakeBoxes().empty());  // unit 1 has nothing stored
        Choose(d->DeviceType, 10);
        Choose(d->Active, 0);
        Choose(d->Inactive, 1);
        d->PulseWidth->setText("25");
        d->Folding[0]->setChecked(true);
        d->ApplyButton->click();
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(d->isVisible());
        QCOMPARE(UnitSettings.Unit, 1);
        QCOMPARE(UnitSettings.DevType, 10);
        QCOMPARE(UnitSettings.MaxK, 1024);
        QCOMPARE(UnitSettings.ResetPulseWidth, 25);
        QCOMPARE(UnitSettings.FoldingMode, 0);
        QCOMPARE(UnitSettings.ResetState, 1);
        QVERIFY(fx.TakeTrace().contains("VXAOpen: unit:1, type:10"));
        QCOMPARE(fx.Panel(1, 1), QString("UNIT: Unit 1"));
        QCOMPARE(fx.Panel(1, 3), QString("RESET: HIGH (Inactive)"));
    }

    void deviceLargerThanTheUnitReturnsToSelectOne() {
        frmSetupDevice* d = Open();
        Choose(d->DeviceType, 10);  // 1 MB on unit 0's 256 KB
        d->ApplyButton->click();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0],
                   "Insufficient RAM for requested device type on\rselected unit, max emulated ROM is 256K bytes",
                   BoxIcon::Exclamation, " Pelmo Error -- Device Setup");
        QCOMPARE(d->DeviceType->currentText(), QString("(Select One)"));
        QVERIFY(!d->ApplyButton->isEnabled());
        // Done cannot close on a failed open either.
        Choose(d->DeviceType, 10);
        d->DoneButton->click();
        QCOMPARE(fx.TakeBoxes().size(), size_t(1));
        QVERIFY(d->isVisible());
        QCOMPARE(UnitSettings.DevType, 0);
    }

    void unitChangeOffersStoredSettings_data() {
        QTest::addColumn<int>("answer");
        QTest::newRow("yes") << int(modMain::Yes);
        QTest::newRow("no") << int(modMain::No);
    }
    void unitChangeOffersStoredSettings() {
        QFETCH(int, answer);
        fx.Stored(1, "DevType", "3");
        fx.Stored(1, "ResetActive", "1");
        UnitSettings.ResetPulseWidth = 77;
        frmSetupDevice* d = Open();
        fx.answers.push_back(answer);
        Choose(d->Unit, 1);
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0],
                   "Previous Settings Exist for Selected Unit\rDo you want to use them now?\r"
                   "THIS OPERATION IS NOT REVERSABLE\rAll Current Settings Will Be Lost",
                   BoxIcon::Question, " Pelmo Device Setup");
        QVERIFY(boxes[0].buttons == modMain::BoxButtons::YesNo);
        QCOMPARE(boxes[0].defaultAnswer, int(modMain::No));
        // The unit left behind had its settings stored first.
        QCOMPARE(fx.StoredText(0, "ResetPulseWidth"), QString("4D"));
        QCOMPARE(UnitSettings.Unit, 1);
        if (answer == modMain::Yes) {
            QCOMPARE(d->DeviceType->currentText(), QString("2764 (8K)"));
            QCOMPARE(d->Active->currentText(), QString("High"));
            QCOMPARE(UnitSettings.ResetPulseWidth, 10);
        } else {
            QCOMPARE(d->DeviceType->currentText(), QString("27256 (32K)"));
            QCOMPARE(d->Active->currentText(), QString("Hi-Z"));
            QCOMPARE(UnitSettings.ResetPulseWidth, 77);
        }
    }

    void unitChangedThenCancelledIsOpened() {
        // The record moves to unit 1 with the change; Cancel must not leave unit 0
        // open in the library while the panels show unit 1.
        fx.onDeviceSetup = [](frmSetupDevice* d) {
            d->Unit->setCurrentIndex(1);
            emit d->Unit->activated(1);
            d->CancelButton->click();
        };
        fx.TakeTrace();
        fx.Main()->mnuSetupDevice->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmSetupDevice"}));
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(fx.TakeTrace().contains("VXAOpen: unit:1, type:5"));
        QCOMPARE(modMain::OpenedUnit, 1);
        QCOMPARE(fx.Panel(1, 1), QString("UNIT: Unit 1"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        // A plain Cancel opens nothing.
        fx.onDeviceSetup = [](frmSetupDevice* d) { d->CancelButton->click(); };
        fx.Main()->mnuSetupDevice->trigger();
        QVERIFY(!fx.TakeTrace().join('\n').contains("VXAOpen"));
    }

    void doneFromTheMainWindowEndsEmulating() {
        fx.Drop();
        fx.Stored(0, "DevType", "0");
        fx.onDeviceSetup = [](frmSetupDevice* d) {
            d->DeviceType->setCurrentIndex(4);
            emit d->DeviceType->activated(4);
            d->DoneButton->click();
        };
        fx.Start();
        const QStringList shown = fx.TakeDialogs();
        QVERIFY2(shown == QStringList({"frmSetupDevice"}), qPrintable(shown.join(',')));
        QVERIFY(fx.TakeBoxes().empty());
        QCOMPARE(UnitSettings.DevType, 4);
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        QCOMPARE(fx.Panel(1, 2), QString("TYPE: 27128"));
        // Quick Fill with no type: the device set-up, then the fill set-up; no fill.
        UnitSettings.DevType = 0;
        fx.TakeTrace();
        fx.Main()->mnuQuickFill->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmSetupDevice", "frmFill"}));
        QVERIFY(fx.TakeBoxes().empty());
        QVERIFY(!fx.TakeTrace().join('\n').contains("VXAFill("));
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeDeviceSuite() { return std::make_unique<DeviceSuite>(); }

#include "device_test.moc"
