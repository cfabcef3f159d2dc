// A library call runs on a worker thread while the windows stay live: the busy
// pointer and text, menus, toolbar and panels disabled, the busy indicator with
// the elapsed time after half a second, input dropped, one call at a time, and a
// close asked for meanwhile carried out once the call is over. Each call is held
// open by a gate on the worker until the test has seen what it looks for.
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QToolButton>
#include <atomic>

#include "platform/clock.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class BusySuite : public QObject {
    Q_OBJECT
    GuiFixture fx;
    QSemaphore gate;
    std::atomic<int> held{0};
    std::atomic<bool> onGuiThread{false};

    // Every call waits at the gate until the test opens it (a bound only
    // against a test that never does).
    void HoldCalls() {
        QThread* gui = QThread::currentThread();
        modMain::SetWorkerHook([this, gui] {
            ++held;
            if (QThread::currentThread() == gui) onGuiThread = true;
            gate.tryAcquire(1, 120000);
        });
    }
    // Runs check every 10 ms while a command runs, until it returns true.
    template <typename Check>
    void WhileRunning(QTimer* poll, Check check) {
        QObject::connect(poll, &QTimer::timeout, [poll, check] {
            if (check()) poll->stop();
        });
        poll->start(10);
    }

private slots:
    void init() {
        fx.Reset();
        held = 0;
        onGuiThread = false;
        gate.tryAcquire(gate.available());
    }
    void cleanup() {
        modMain::SetWorkerHook(nullptr);
        gate.release(100);
        fx.Drop();
    }

    void theWindowShowsItIsBusyWhileTheCallRuns() {
        frmMain* w = fx.Start();
        fx.TakeTrace();
        HoldCalls();
        struct Seen {
            bool menus = true, toolbar = true, bars = true, wait = false;
            bool shownAt499 = true, shownAt500 = false;
            QString status, elapsedAt500, elapsedLater;
        } seen;
        // The half second is read on the driven clock: it moves only here, and
        // each step is looked at after the next tick of the indicator.
        ClockDrive(true);
        auto* tick = w->findChild<QTimer*>("BusyTick");
        QVERIFY(tick);
        QSignalSpy ticks(tick, &QTimer::timeout);
        int stage = 0;
        QTimer poll;
        WhileRunning(&poll, [&] {
            if (held == 0) return false;
            if (stage > 0 && ticks.isEmpty()) return false;
            switch (stage++) {
            case 0:
                seen.menus = w->menuBar()->isEnabled();
                seen.toolbar = w->tbToolBar->isEnabled();
                seen.bars = w->sbStatusBar->isEnabled() || w->sbStatusBar2->isEnabled();
                seen.wait = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
                seen.status = fx.Panel(1, 0);
                ClockAdvance(499);
                break;
            case 1:
                seen.shownAt499 = w->Progress->isVisible();
                ClockAdvance(1);
                break;
            case 2:
                seen.shownAt500 = w->Progress->isVisible();
                seen.elapsedAt500 = w->Elapsed->text();
                ClockAdvance(64500);
                break;
            default:
                seen.elapsedLater = w->Elapsed->text();
                gate.release();
                return true;
            }
            ticks.clear();
            return false;
        });
        w->mnuQuickFill->trigger();
        QVERIFY(!onGuiThread);
        QCOMPARE(held.load(), 1);
        QVERIFY(!seen.menus);
        QVERIFY(!seen.toolbar);
        QVERIFY(!seen.bars);
        QVERIFY(seen.wait);
        QCOMPARE(seen.status, QString("STATUS: Filling..."));
        // Not before half a second, then with the time since the call began; a
        // busy bar, not a percentage.
        QVERIFY(!seen.shownAt499);
        QVERIFY(seen.shownAt500);
        QCOMPARE(seen.elapsedAt500, QString("Elapsed 0:00"));
        QCOMPARE(seen.elapsedLater, QString("Elapsed 1:05"));
        QCOMPARE(w->Progress->minimum(), 0);
        QCOMPARE(w->Progress->maximum(), 0);
        // Afterwards all is back.
        QVERIFY(w->menuBar()->isEnabled() && w->tbToolBar->isEnabled() && w->sbStatusBar->isEnabled());
        QVERIFY(!w->Progress->isVisible() && !w->Elapsed->isVisible());
        QVERIFY(!QApplication::overrideCursor());
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Emulating"));
        QCOMPARE(fx.TakeTrace().filter(QRegularExpression("^VXAFill\\(")).size(), 1);
        QCOMPARE(modMain::BeepCount, 1);
    }

    void inputWhileBusyIsDropped() {
        frmMain* w = fx.Start();
        fx.TakeTrace();
        HoldCalls();
        auto* tool = qobject_cast<QToolButton*>(w->tbToolBar->widgetForAction(w->Button("QuickFill")));
        QVERIFY(tool);
        QTimer poll;
        WhileRunning(&poll, [&] {
            if (held == 0) return false;
            // A second Quick Fill by mouse and by the menu's keys, and a click
            // on the STATUS panel that would open the device setup.
            QTest::mouseClick(tool, Qt::LeftButton);
            QTest::keyClick(w, Qt::Key_Q, Qt::AltModifier);
            QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : w, Qt::Key_F);
            QTest::mouseClick(w->sbStatusBar->panel(0), Qt::LeftButton);
            gate.release();
            return true;
        });
        w->mnuQuickFill->trigger();
        QTest::qWait(0);
        QCOMPARE(held.load(), 1);
        QCOMPARE(fx.TakeTrace().filter(QRegularExpression("^VXAFill\\(")).size(), 1);
        QVERIFY(fx.TakeDialogs().isEmpty());
        QVERIFY(fx.TakeBoxes().empty());
    }

    void closingDuringACallWaitsThenClosesAndStores() {
        frmMain* w = fx.Start();
        UnitSettings.FillValue = 0x3C;
        HoldCalls();
        bool refused = false;
        QTimer poll;
        WhileRunning(&poll, [&] {
            if (held == 0) return false;
            refused = !w->close();
            gate.release();
            return true;
        });
        w->mnuQuickFill->trigger();
        QVERIFY(refused);
        QTRY_VERIFY(!w->isVisible());
        QCOMPARE(fx.StoredText(4, "FillValue"), QString("3C"));
        QCOMPARE(fx.StoredText(4, "MainToolbar"), QString("1"));
        QCOMPARE(modMain::BeepCount, 1);
    }

    void setupDialogsNowRunsOffTheGuiThreadToo() {
        fx.Start();
        HoldCalls();
        gate.release(10);
        fx.onDialog = [](QWidget* d) {
            d->findChild<QPushButton*>("CksumNow")->click();
            d->close();
        };
        fx.Main()->mnuSetupCksum->trigger();
        QCOMPARE(fx.TakeDialogs(), QStringList({"frmCksum"}));
        QCOMPARE(held.load(), 1);
        QVERIFY(!onGuiThread);
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY(boxes[0].text.startsWith("CHECKSUM OPERATION SUCCESSFUL\r"));
        QVERIFY(fx.PanelEnabled(2, 1));
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeBusySuite() { return std::make_unique<BusySuite>(); }

#include "busy_test.moc"
