// The view window on the virtual unit: the first and last pages, the clamp of a
// stored address, line and page steps, F5, and a fresh snapshot after a fill.
#include <QApplication>
#include <QScrollBar>
#include <QWheelEvent>
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

    // Keys go to the widget that has the focus, which is the scroll bar from
    // the moment the view opens.
    frmViewEdit* OpenActiveView() {
        frmViewEdit* v = OpenView();
        for (int i = 0; i < 500 && QApplication::activeWindow() != v; ++i) {
            v->activateWindow();
            QTest::qWait(10);
        }
        return v;
    }

    void keysPageLikeTheScrollBarsSteps_data() {
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("last");
        QTest::newRow("2716") << "1" << 0x700;
        QTest::newRow("27080") << "A" << 0xFFF00;
    }
    void keysPageLikeTheScrollBarsSteps() {
        QFETCH(QString, type);
        QFETCH(int, last);
        fx.Stored(4, "DevType", type);
        fx.Start();
        frmViewEdit* v = OpenActiveView();
        QCOMPARE(QApplication::activeWindow(), static_cast<QWidget*>(v));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v->VScrollBar));
        const struct {
            Qt::Key key;
            int address;
        } steps[] = {{Qt::Key_Down, 0x10}, {Qt::Key_PageDown, 0x110},      {Qt::Key_Up, 0x100},
                     {Qt::Key_End, last},  {Qt::Key_PageUp, last - 0x100}, {Qt::Key_Home, 0},
                     {Qt::Key_Up, 0},      {Qt::Key_PageDown, 0x100}};
        for (const auto& step : steps) {
            QTest::keyClick(QApplication::focusWidget(), step.key);
            QCOMPARE(UnitSettings.ViewAddress, step.address);
            QCOMPARE(FirstAddress(v), QString("%1").arg(step.address, 6, 16, QChar('0')).toUpper());
        }
        // Tab cannot lose it: the scroll bar is the window's only stop.
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v->VScrollBar));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
        QVERIFY(!modMain::ViewOpen);
        QTRY_VERIFY(modMain::ViewWindow.isNull());
    }

    // A click on the scroll bar gives it the focus back, and with it F5.
    void aClickGivesTheScrollBarTheFocus() {
        fx.Stored(4, "DevType", "5");
        fx.Start();
        frmViewEdit* v = OpenActiveView();
        QCOMPARE(QApplication::activeWindow(), static_cast<QWidget*>(v));
        v->VScrollBar->clearFocus();
        QVERIFY(!QApplication::focusWidget());
        // In the groove below the handle: one page down.
        QTest::mouseClick(v->VScrollBar, Qt::LeftButton, {},
                          QPoint(v->VScrollBar->width() / 2, v->VScrollBar->height() * 3 / 4));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(v->VScrollBar));
        QCOMPARE(UnitSettings.ViewAddress, 0x100);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_F5);
        QVERIFY(!modMain::ViewOpen);
    }

    void theWheelOverTheDumpScrolls() {
        fx.Stored(4, "DevType", "5");
        fx.Start();
        frmViewEdit* v = OpenActiveView();
        QWidget* dump = v->EditBox->viewport();
        auto wheel = [&](int notches) {
            const QPointF at(dump->width() / 2.0, dump->height() / 2.0);
            QWheelEvent e(at, dump->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
            QApplication::sendEvent(dump, &e);
        };
        wheel(-1);
        const int down = UnitSettings.ViewAddress;
        QVERIFY2(down > 0 && down % 16 == 0, qPrintable(QString::number(down, 16)));
        QCOMPARE(down, 0x10 * QApplication::wheelScrollLines());
        wheel(1);
        QCOMPARE(UnitSettings.ViewAddress, 0);
        QCOMPARE(FirstAddress(v), QString("000000"));
    }

    void controlCharactersShowAsDots_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("shown");
        QTest::newRow("00") << 0x00 << ".";
        QTest::newRow("09") << 0x09 << ".";
        QTest::newRow("1F") << 0x1F << ".";
        QTest::newRow("20") << 0x20 << " ";
        QTest::newRow("41") << 0x41 << "A";
        QTest::newRow("7E") << 0x7E << "~";
        QTest::newRow("7F") << 0x7F << ".";
        QTest::newRow("85") << 0x85 << ".";
        QTest::newRow("9F") << 0x9F << ".";
        QTest::newRow("A9") << 0xA9 << QString(QChar(0xA9));
        QTest::newRow("FF") << 0xFF << QString(QChar(0xFF));
    }
    void controlCharactersShowAsDots() {
        QFETCH(int, value);
        QFETCH(QString, shown);
        fx.Start();
        UnitSettings.FillValue = value;
        UnitSettings.FillStart = 0x10;
        UnitSettings.FillLength = 0x10;
        modMain::RunFill("Quick Fill", false);
        UnitSettings.FillValue = 0x2E;  // a real "." next to it
        UnitSettings.FillStart = 0x20;
        modMain::RunFill("Quick Fill", false);
        frmViewEdit* v = OpenView();
        const QStringList lines = Lines(v);
        const QString hex = QString("%1 ").arg(value, 2, 16, QChar('0')).toUpper().repeated(16);
        QCOMPARE(lines[1].mid(9, 48), hex);
        QCOMPARE(lines[1].right(16), shown.repeated(16));
        QCOMPARE(lines[2].right(16), QString(16, '.'));
        // The hex and address columns are untouched.
        QVERIFY(lines[1].startsWith(" 000010  "));
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
