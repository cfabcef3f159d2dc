// The view window on the virtual unit: the first and last pages, the clamp of a
// stored address, line and page steps, F5, and a fresh snapshot after a fill.
#include <QScrollBar>
#include <QTest>
#include <QTextEdit>

#include "pelmogui3/frmViewEdit.h"
#include "pelmogui3/modLib.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class ViewSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

    frmViewEdit* OpenView() {
        fx.Main()->mnuViewOpen->trigger();
        return qobject_cast<frmViewEdit*>(modMain::ViewWindow.data());
    }
    static QStringList Lines(frmViewEdit* v) { return v->EditBox->toPlainText().split('\n'); }
    static QString FirstAddress(frmViewEdit* v) { return Lines(v).value(0).mid(1, 6); }

private slots:
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void a2716ShowsItsFirstAndLastPage() {
        fx.Stored(4, "DevType", "1");
        fx.Start();
        frmViewEdit* v = OpenView();
        QVERIFY(v && v->isVisible());
        QVERIFY(modMain::ViewOpen);
        QCOMPARE(v->windowTitle(), QString("Pelmo -- View Contents"));
        QCOMPARE(fx.Main()->mnuViewOpen->text(), QString("Close &View Window"));
        QVERIFY(fx.Main()->Button("OpenView")->isChecked());
        QCOMPARE(fx.Main()->Button("OpenView")->toolTip(), QString("Close View Window"));
        const QStringList lines = Lines(v);
        QCOMPARE(lines.size(), 16);
        QVERIFY(lines[0].startsWith(" 000000  "));
        QVERIFY(lines[15].startsWith(" 0000F0  "));
        QCOMPARE(lines[0].size(), 76);
        v->VScrollBar->setValue(v->VScrollBar->maximum());
        QCOMPARE(FirstAddress(v), QString("000700"));
        QCOMPARE(UnitSettings.ViewAddress, 0x700);
        v->VScrollBar->setValue(0);
        QCOMPARE(FirstAddress(v), QString("000000"));
        // The toggle closes it again and releases the snapshot.
        fx.Main()->Button("OpenView")->trigger();
        QVERIFY(!modMain::ViewOpen);
        QVERIFY(!fx.Main()->Button("OpenView")->isChecked());
        QCOMPARE(fx.Main()->mnuViewOpen->text(), QString("Open &View Window"));
        char dump[1400];
        QCOMPARE(emu::VXAViewFormat(dump, 0, 16, 16), 1);
    }

    void storedAddressBeyondTheDeviceIsClamped() {
        fx.Stored(4, "DevType", "1");
        fx.Stored(4, "ViewAddress", "8000");
        fx.Start();
        frmViewEdit* v = OpenView();
        QCOMPARE(FirstAddress(v), QString("000700"));
        QCOMPARE(v->VScrollBar->value(), v->VScrollBar->maximum());
    }

    void stepsMoveOneLineAndOnePage_data() {
        QTest::addColumn<QString>("type");
        QTest::newRow("2716") << "1";
        QTest::newRow("27256") << "5";
        QTest::newRow("27080") << "A";
    }
    void stepsMoveOneLineAndOnePage() {
        QFETCH(QString, type);
        fx.Stored(4, "DevType", type);
        fx.Start();
        frmViewEdit* v = OpenView();
        QCOMPARE(UnitSettings.ViewAddress, 0);
        v->VScrollBar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(UnitSettings.ViewAddress, 0x10);
        v->VScrollBar->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(UnitSettings.ViewAddress, 0x110);
        QCOMPARE(FirstAddress(v), QString("000110"));
        v->VScrollBar->triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(UnitSettings.ViewAddress, 0x100);
    }

    void f5ClosesAndStoresThePlacement() {
        fx.Start();
        frmViewEdit* v = OpenView();
        v->move(40, 60);
        QTest::keyClick(v->VScrollBar, Qt::Key_F5);
        QVERIFY(!modMain::ViewOpen);
        QTRY_VERIFY(modMain::ViewWindow.isNull());
        QVERIFY(!fx.Main()->Button("OpenView")->isChecked());
        QCOMPARE(fx.StoredText(4, "ViewLeft"), QString("28"));
        QCOMPARE(fx.StoredText(4, "ViewTop"), QString("3C"));
        char dump[1400];
        QCOMPARE(emu::VXAViewFormat(dump, 0, 16, 16), 1);
    }

    void fillClosesTheViewAndReopeningShowsTheNewContents() {
        fx.Start();
        UnitSettings.FillValue = 0x41;
        modMain::RunFill("Quick Fill", false);
        OpenView();
        UnitSettings.FillValue = 0x42;
        modMain::RunFill("Quick Fill", false);
        QVERIFY(!modMain::ViewOpen);
        QTRY_VERIFY(modMain::ViewWindow.isNull());
        frmViewEdit* v = OpenView();
        QVERIFY(Lines(v)[0].contains("42 42 42"));
        QVERIFY(Lines(v)[0].endsWith("BBBBBBBBBBBBBBBB"));
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeViewSuite() { return std::make_unique<ViewSuite>(); }

#include "view_test.moc"
