// The main window on the virtual unit: start-up with and without stored
// settings, menus and toolbar as designed, toolbar and status bar commands,
// placement kept across runs, the Quick commands without a device type, help,
// about box and shutdown.
#include <QAccessible>
#include <QApplication>
#include <QDesktopServices>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

#include "pelmogui3/frmAbout.h"
#include "pelmogui3/frmHelp.h"
#include "tests/pelmogui3/gui_fixture.h"
#include "tests/pelmogui3/suites.h"

using namespace guitest;
using modMain::UnitSettings;

namespace {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls << url; }
};

class MainWindowSuite : public QObject {
    Q_OBJECT
    GuiFixture fx;

private slots:
    void init() { fx.Reset(); }
    void cleanup() { fx.Drop(); }

    void firstStartWithoutUnitsOpensAVirtual27256() {
        fx.Start();
        QVERIFY(fx.TakeBoxes().empty());
        const QStringList trace = fx.TakeTrace();
        QVERIFY(trace.contains("VXAFind: returning 4"));
        QVERIFY(trace.contains("VXAOpen: unit:4, type:5"));
        QCOMPARE(modReg::SectionName, QString("Settings4"));
        QCOMPARE(fx.Main()->windowTitle(), QString(" (V) Pelmo EPROM Emulator"));
        const char* panels[] = {"STATUS: Emulating", "UNIT: Unit Virtual", "TYPE: 27256", "RESET: "};
        for (int i = 0; i < 4; ++i) QCOMPARE(fx.Panel(1, i), QString(panels[i]));
        QVERIFY(fx.PanelEnabled(1, 0) && fx.PanelEnabled(1, 1) && fx.PanelEnabled(1, 2));
        QVERIFY(!fx.PanelEnabled(1, 3));
        QCOMPARE(fx.Panel(2, 0), QString("FILE: "));
        QCOMPARE(fx.Panel(2, 1), QString("SUM: 0000-0000"));
        QVERIFY(!fx.PanelEnabled(2, 0) && !fx.PanelEnabled(2, 1));
        QCOMPARE(UnitSettings.DevSize, 0x8000);
        QCOMPARE(UnitSettings.MaxK, 32);
        // Centred on the screen at the designed size.
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(fx.Main()->size(), QSize(frmMain::DesignedWidth, frmMain::DesignedHeight));
        QCOMPARE(fx.Main()->pos(), QPoint(screen.x() + (screen.width() - frmMain::DesignedWidth) / 2,
                                          screen.y() + (screen.height() - frmMain::DesignedHeight) / 2));
    }

    void storedTypeNoneOpensTheDeviceSetupAtStart() {
        fx.Stored(4, "DevType", "0");
        fx.Start();
        QVERIFY(fx.Main()->isVisible());
        QCOMPARE(fx.TakeOpened(), QString("frmSetupDevice"));
        QCOMPARE(fx.Panel(1, 0), QString("STATUS: Not Set Up"));
        QCOMPARE(fx.Panel(1, 2), QString("TYPE: (none)"));
        QVERIFY(!fx.TakeTrace().join('\n').contains("VXAOpen"));
    }

    void quickCommandsWithoutATypeNeverRun_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("call");
        QTest::newRow("fill") << "mnuQuickFill"
                              << "VXAFill";
        QTest::newRow("load") << "mnuQuickLoad"
                              << "VXALoad";
        QTest::newRow("write") << "mnuQuickWrite"
                               << "VXAWrite";
        QTest::newRow("checksum") << "mnuQuickChecksum"
                                  << "VXACksum";
        QTest::newRow("view") << "mnuViewOpen"
                              << "VXAView";
    }
    void quickCommandsWithoutATypeNeverRun() {
        QFETCH(QString, command);
        QFETCH(QString, call);
        fx.Stored(4, "DevType", "0");
        fx.Stored(4, "LoadFile", fx.File("a.hex"));
        fx.Stored(4, "WriteFile", fx.File("b.hex"));
        fx.Start();
        fx.TakeBoxes();
        fx.TakeDialogs();
        fx.TakeTrace();
        fx.Main()->findChild<QAction*>(command)->trigger();
        // The device set-up opens; with no type chosen there, nothing else follows.
        QCOMPARE(fx.TakeOpened(), QString("frmSetupDevice"));
        QVERIFY(!fx.TakeTrace().join('\n').contains(call));
        QVERIFY(!fx.Main()->Button("OpenView")->isChecked());
        QCOMPARE(modMain::BeepCount, 0);
    }

    void quickCommandsWithoutAFileOpenTheirSetup_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("title");
        QTest::newRow("load") << "QuickLoad"
                              << "frmLoad";
        QTest::newRow("write") << "QuickWrite"
                               << "frmWrite";
    }
    void quickCommandsWithoutAFileOpenTheirSetup() {
        QFETCH(QString, command);
        QFETCH(QString, title);
        fx.Start();
        fx.TakeBoxes();
        fx.TakeTrace();
        fx.Main()->Button(command)->trigger();
        QCOMPARE(fx.TakeOpened(), title);
        QVERIFY(!fx.TakeTrace().join('\n').contains("VXALoad"));
    }

    void menusAndToolbarAsDesigned() {
        fx.Start();
        const struct {
            const char* name;
            const char* caption;
        } items[] = {
            {"mnuFileLoad", "&Load..."},
            {"mnuFileWrite", "&Write..."},
            {"mnuFileExit", "E&xit"},
            {"mnuViewOpen", "Open &View Window"},
            {"mnuViewToolbar", "&Toolbar"},
            {"mnuViewStatusBar", "Status &Bar"},
            {"mnuViewMove", "&Move Toolbar"},
            {"mnuSetupDevice", "Device &Type..."},
            {"mnuSetupLoad", "&Load..."},
            {"mnuSetupFill", "&Fill..."},
            {"mnuSetupWrite", "&Write..."},
            {"mnuSetupCksum", "&Checksum..."},
            {"mnuQuickLoad", "&Load"},
            {"mnuQuickWrite", "&Write"},
            {"mnuQuickFill", "&Fill"},
            {"mnuQuickChecksum", "&Checksum"},
            {"mnuQuickReset", "&Reset..."},
            {"mnuHelpTopics", "Help &Topics"},
            {"mnuHelpWeb", "&Pelmo On The &Web"},
            {"mnuHelpAbout", "&About "},
        };
        for (const auto& item : items) {
            auto* a = fx.Main()->findChild<QAction*>(item.name);
            QVERIFY2(a, item.name);
            QCOMPARE(a->text(), QString(item.caption));
        }
        QStringList menus;
        for (QAction* a : fx.Main()->menuBar()->actions()) menus << a->text();
        QCOMPARE(menus, QStringList({"&File", "&View", "&Setup", "&Quick", "&Help"}));
        QVERIFY(fx.Main()->mnuFileBar->isSeparator());
        QStringList resets;
        for (QAction* a : fx.Main()->mnuQuickResetFunction) resets << a->text();
        QCOMPARE(resets, QStringList({"&Active", "&Inactive", "&Low", "&High", "Hi-&Z", "&Pulse"}));

        QStringList keys, tips;
        for (QAction* a : fx.Main()->tbToolBar->actions()) {
            keys << a->objectName();
            tips << a->toolTip();
        }
        QCOMPARE(keys,
                 QStringList({"QuickLoad", "QuickWrite", "QuickFill", "QuickChecksum", "QuickReset", "OpenView"}));
        QCOMPARE(tips, QStringList({"Quick Load", "Quick Write", "Quick Fill", "Quick Checksum", "Pulse Reset",
                                    "Open View Window"}));
        const char* panelTips[] = {"Current State of the Pelmo", "Current Pelmo Unit Being Used",
                                   "EPROM Device Type Being Emulated", "State of the Reset Clip"};
        for (int i = 0; i < 4; ++i) QCOMPARE(fx.Main()->sbStatusBar->panel(i)->toolTip(), QString(panelTips[i]));
        QCOMPARE(fx.Main()->sbStatusBar2->panel(0)->toolTip(), QString("Current Load File Name"));
        QCOMPARE(fx.Main()->sbStatusBar2->panel(0)->key(), QString("Load"));
        QCOMPARE(fx.Main()->sbStatusBar2->panel(1)->toolTip(), QString("Result of Last Checksum Operation"));
        QCOMPARE(fx.Main()->sbStatusBar2->panel(1)->key(), QString("Cksum"));
    }

    void panelClicksOpenTheirDialogs_data() {
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("panel");
        QTest::addColumn<QString>("title");
        for (int i = 0; i < 4; ++i) QTest::addRow("status panel %d", i) << 1 << i << "frmSetupDevice";
        QTest::newRow("file panel, disabled") << 2 << 0 << "frmLoad";
        QTest::newRow("sum panel, disabled") << 2 << 1 << "frmCksum";
    }
    void panelClicksOpenTheirDialogs() {
        QFETCH(int, bar);
        QFETCH(int, panel);
        QFETCH(QString, title);
        fx.Start();
        fx.TakeBoxes();
        QVERIFY(QTest::qWaitForWindowExposed(fx.Main()));
        StatusPanel* p = (bar == 1 ? fx.Main()->sbStatusBar : fx.Main()->sbStatusBar2)->panel(panel);
        QTest::mouseClick(p, Qt::LeftButton, {}, p->rect().center());
        QCOMPARE(fx.TakeOpened(), title);
    }

    void storedHiddenToolbarComesBackAtItsEdge() {
        fx.Stored(4, "MainToolbar", "0");
        fx.Stored(4, "MainToolbarAlign", "4");
        fx.Start();
        QVERIFY(!fx.Main()->tbToolBar->isVisible());
        QVERIFY(!fx.Main()->mnuViewToolbar->isChecked());
        QVERIFY(!fx.Main()->mnuViewMove->isEnabled());
        fx.Main()->mnuViewToolbar->trigger();
        QVERIFY(fx.Main()->tbToolBar->isVisible());
        QVERIFY(fx.Main()->mnuViewMove->isEnabled());
        QCOMPARE(fx.Main()->toolBarArea(fx.Main()->tbToolBar), Qt::RightToolBarArea);
        QCOMPARE(fx.Main()->tbToolBar->orientation(), Qt::Vertical);
        fx.Main()->mnuViewToolbar->trigger();
        QVERIFY(!fx.Main()->tbToolBar->isVisible());
        fx.CloseMain();
        QCOMPARE(fx.StoredText(4, "MainToolbar"), QString("0"));
        QCOMPARE(fx.StoredText(4, "MainToolbarAlign"), QString("4"));
    }

    void moveToolbarWalksRoundTheEdges() {
        fx.Stored(4, "MainToolbarAlign", "9");  // not an edge: top
        fx.Start();
        frmMain* w = fx.Main();
        QCOMPARE(w->toolBarArea(w->tbToolBar), Qt::TopToolBarArea);
        const struct {
            Qt::ToolBarArea area;
            int align;
        } steps[] = {
            {Qt::LeftToolBarArea, 3}, {Qt::BottomToolBarArea, 2}, {Qt::RightToolBarArea, 4}, {Qt::TopToolBarArea, 1}};
        for (const auto& step : steps) {
            w->mnuViewMove->trigger();
            QCOMPARE(w->toolBarArea(w->tbToolBar), step.area);
            QCOMPARE(w->ToolbarAlign(), step.align);
            QVERIFY(w->tbToolBar->isVisible());
        }
    }

    void statusBarToggleHidesBothAndIsStored() {
        fx.Start();
        frmMain* w = fx.Main();
        QVERIFY(w->sbStatusBar->isVisible() && w->sbStatusBar2->isVisible());
        w->mnuViewStatusBar->trigger();
        QVERIFY(!w->sbStatusBar->isVisible() && !w->sbStatusBar2->isVisible());
        QVERIFY(!w->mnuViewStatusBar->isChecked());
        fx.CloseMain();
        QCOMPARE(fx.StoredText(4, "MainStatusbar"), QString("0"));
        fx.Start();
        QVERIFY(!fx.Main()->sbStatusBar->isVisible());
        fx.Main()->mnuViewStatusBar->trigger();
        QVERIFY(fx.Main()->sbStatusBar->isVisible() && fx.Main()->sbStatusBar2->isVisible());
    }

    void normalPlacementIsStoredAndRestored() {
        fx.Start();
        fx.Main()->move(123, 77);
        fx.Main()->resize(500, 260);
        UnitSettings.LoadFile = "kept.hex";
        fx.CloseMain();
        QCOMPARE(fx.StoredText(4, "MainLeft"), QString("7B"));
        QCOMPARE(fx.StoredText(4, "MainTop"), QString("4D"));
        QCOMPARE(fx.StoredText(4, "MainWidth"), QString("1F4"));
        QCOMPARE(fx.StoredText(4, "MainHeight"), QString("104"));
        QCOMPARE(fx.StoredText(4, "MainWindowState"), QString("0"));
        QCOMPARE(fx.StoredText(4, "LoadFile"), QString("kept.hex"));
        fx.Start();
        QCOMPARE(fx.Main()->pos(), QPoint(123, 77));
        QCOMPARE(fx.Main()->size(), QSize(500, 260));
    }

    void maximizedCloseKeepsTheNormalPlacement() {
        fx.Stored(4, "MainLeft", "64");
        fx.Stored(4, "MainTop", "50");
        fx.Stored(4, "MainWidth", "258");
        fx.Stored(4, "MainHeight", "140");
        fx.Start();
        fx.Main()->showMaximized();
        QTRY_VERIFY(fx.Main()->isMaximized());
        fx.CloseMain();
        QCOMPARE(fx.StoredText(4, "MainWindowState"), QString("2"));
        QCOMPARE(fx.StoredText(4, "MainLeft"), QString("64"));
        QCOMPARE(fx.StoredText(4, "MainWidth"), QString("258"));

        fx.Start();
        QVERIFY(modMain::StartMaximized);
        QTRY_VERIFY(fx.Main()->isMaximized());
        fx.Main()->showNormal();
        QTRY_COMPARE(fx.Main()->pos(), QPoint(100, 80));
        QTRY_COMPARE(fx.Main()->size(), QSize(600, 320));
        QVERIFY(!modMain::StartMaximized);
        // Only the first restore uses the stored placement.
        fx.Main()->move(10, 20);
        fx.Main()->showMaximized();
        QTRY_VERIFY(fx.Main()->isMaximized());
        fx.Main()->showNormal();
        QTRY_VERIFY(!fx.Main()->isMaximized());
        QVERIFY(fx.Main()->pos() != QPoint(100, 80));
    }

    void placementOutOfReachIsCentred() {
        fx.Stored(4, "MainLeft", "7FFF0000");
        fx.Stored(4, "MainTop", "7FFF0000");
        fx.Start();
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(screen.contains(fx.Main()->geometry().center()));
    }

    void shutdownThatCannotStoreSaysSo() {
        fx.Start();
        // The store's folder is a plain file: nothing can be written there.
        QFile blocker(fx.File("blocked"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        modReg::SetStoreFolder(fx.File("blocked"));
        fx.TakeBoxes();
        fx.CloseMain();
        const auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY2(boxes[0].text.startsWith("UNABLE TO SAVE THE SETTINGS IN\r"), qPrintable(boxes[0].text));
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::Exclamation));
    }

    void helpTopicsShowsTheInstalledHelpFile() {
        fx.Start();
        fx.Main()->mnuHelpTopics->trigger();
        auto boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        EXPECT_BOX(boxes[0], "Unable to display Help Contents. There is no Help associated with this project.",
                   BoxIcon::Information, " (V) Pelmo EPROM Emulator");

        modMain::HelpFile = fx.File("nowhere.html");
        fx.Main()->mnuHelpTopics->trigger();
        boxes = fx.TakeBoxes();
        QCOMPARE(boxes.size(), size_t(1));
        QVERIFY(boxes[0].text.contains("nowhere.html"));
        QCOMPARE(static_cast<int>(boxes[0].icon), static_cast<int>(BoxIcon::None));

        modMain::HelpFile = QString(PELMO_BIN_DIR) + "/PelmoGui3.html";
        fx.Main()->mnuHelpTopics->trigger();
        QVERIFY(fx.TakeBoxes().empty());
        frmHelp* help = frmHelp::Current();
        QVERIFY(help && help->isVisible());
        const QString text = help->HelpText->toPlainText();
        for (const char* topic : {"Main window", "Device setup", "Load setup", "Write file setup", "Fill setup",
                                  "Checksum setup", "View window", "About box"})
            QVERIFY2(text.contains(topic), topic);
        // Shutdown closes the help window with the main window.
        fx.CloseMain();
        QTRY_VERIFY(!frmHelp::Current() || !frmHelp::Current()->isVisible());
    }

    void webItemOpensTheShippedPage() {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        modMain::WebPage = QString(PELMO_BIN_DIR) + "/PelmoGui3-web.html";
        fx.Start();
        fx.Main()->mnuHelpWeb->trigger();
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0].toLocalFile(), modMain::WebPage);
        QVERIFY(QFile::exists(modMain::WebPage));
    }

    void aboutBoxIsModalAndClosesWithOk() {
        fx.Start();
        QStringList seen;
        bool modal = false;
        QTimer::singleShot(0, [&] {
            auto* about = qobject_cast<frmAbout*>(QApplication::activeModalWidget());
            if (!about) return;
            modal = true;
            seen << about->lblTitle->text() << about->lblVersion->text() << about->lblDescription->text()
                 << about->lblDisclaimer->text();
            about->cmdOK->click();
        });
        QTimer guard;  // never wait for a box that did not open
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, [] {
            if (QWidget* w = QApplication::activeModalWidget()) w->close();
        });
        guard.start(10000);
        fx.Main()->mnuHelpAbout->trigger();
        QVERIFY(modal);
        QCOMPARE(seen, QStringList({"PelmoGui3 EPROM Emulator", "Version 1.3",
                                    "Application Software for 32-bit Windows Systems",
                                    "FOR USB INTERFACE Pelmo Units Only"}));
    }

    void exitStoresTheUnitSettings() {
        fx.Start();
        UnitSettings.FillValue = 0x5A;
        UnitSettings.ResetPulseWidth = 100;
        fx.Main()->mnuFileExit->trigger();
        QCOMPARE(fx.StoredText(4, "FillValue"), QString("5A"));
        QCOMPARE(fx.StoredText(4, "ResetPulseWidth"), QString("64"));
        QCOMPARE(fx.StoredText(4, "MainToolbar"), QString("1"));
        QCOMPARE(fx.StoredText(4, "MainStatusbar"), QString("1"));
        QCOMPARE(fx.StoredText(4, "MainToolbarAlign"), QString("1"));
    }

    void greyedPanelsAreReportedDisabled() {
        fx.Start();
        struct {
            StatusBar* bar;
            int index;
            bool enabled;
        } panels[] = {{fx.Main()->sbStatusBar, 0, true},
                      {fx.Main()->sbStatusBar, 3, false},  // RESET on the virtual unit
                      {fx.Main()->sbStatusBar2, 0, false},
                      {fx.Main()->sbStatusBar2, 1, false}};
        auto reported = [](StatusPanel* p) {
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(p);
            return a && !a->state().disabled;
        };
        for (const auto& p : panels) {
            StatusPanel* panel = p.bar->panel(p.index);
            QCOMPARE(reported(panel), p.enabled);
            QAccessibleInterface* a = QAccessible::queryAccessibleInterface(panel);
            QCOMPARE(a->text(QAccessible::Name), panel->text());
        }
        modMain::RunChecksum("Quick Checksum", false);
        QVERIFY(reported(fx.Main()->sbStatusBar2->panel(1)));
    }

    void aLongFileNameIsElidedWithTheWholeNameInTheTip() {
        fx.Start();
        StatusPanel* file = fx.Main()->sbStatusBar2->panel(0);
        UnitSettings.LoadFile = "/short.hex";
        modMain::SetStatus("");
        QVERIFY(!file->isElided());
        QCOMPARE(file->shownText(), file->text());
        QCOMPARE(file->toolTip(), QString("Current Load File Name"));
        const int width = fx.Main()->width();
        const QString name = "/home/user/projects/" + QString("very-long-folder-name/").repeated(12) + "image.hex";
        UnitSettings.LoadFile = name;
        modMain::SetStatus("");
        QCOMPARE(file->text(), "FILE: " + name);
        // The window keeps its width; the panel draws the name elided.
        QCOMPARE(fx.Main()->width(), width);
        QVERIFY(file->isElided());
        // Elided in the middle: the start of the path and the file's own name
        // both stay in sight, joined by one ellipsis, and the result fits.
        const QString shown = file->shownText();
        const QString full = file->text();
        const qsizetype dots = shown.indexOf(QChar(0x2026));
        QVERIFY2(dots >= 0 && shown.count(QChar(0x2026)) == 1, qPrintable(shown));
        const QString head = shown.left(dots);
        const QString tail = shown.mid(dots + 1);
        QVERIFY2(full.startsWith(head) && head.startsWith("FILE: /home/"), qPrintable(shown));
        QVERIFY2(full.endsWith(tail) && tail.endsWith("/image.hex"), qPrintable(shown));
        QVERIFY(head.size() + tail.size() < full.size());
        QVERIFY(file->fontMetrics().horizontalAdvance(shown) <= file->contentsRect().width());
        QCOMPARE(file->toolTip(), "Current Load File Name\n" + name);
    }
};

}  // namespace

std::unique_ptr<QObject> guitest::MakeMainWindowSuite() { return std::make_unique<MainWindowSuite>(); }

#include "mainwindow_test.moc"
