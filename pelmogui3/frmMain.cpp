#include "pelmogui3/frmMain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTimer>
#include <QScreen>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>

#include "pelmogui3/frmAbout.h"
#include "pelmogui3/frmCksum.h"
#include "pelmogui3/frmFill.h"
#include "pelmogui3/frmLoad.h"
#include "pelmogui3/frmWrite.h"
#include "pelmogui3/frmHelp.h"
#include "pelmogui3/frmSetupDevice.h"
#include "pelmogui3/frmViewEdit.h"
#include "pelmogui3/modLib.h"
#include "pelmogui3/modMain.h"
#include "pelmogui3/modReg.h"
#include "platform/clock.h"

using namespace modMain;

namespace {

Qt::ToolBarArea AreaOf(int align) {
    switch (align) {
    case 2: return Qt::BottomToolBarArea;
    case 3: return Qt::LeftToolBarArea;
    case 4: return Qt::RightToolBarArea;
    default: return Qt::TopToolBarArea;
    }
}

QRect AvailableScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

frmMain::frmMain(QWidget* parent) : QMainWindow(parent) {
    setObjectName("frmMain");
    setWindowTitle(" Pelmo EPROM Emulator");
    setWindowIcon(icons::Application());
    resize(DesignedWidth, DesignedHeight);
    auto* centre = new QLabel(this);
    centre->setObjectName("MainBackground");
    centre->setAlignment(Qt::AlignCenter);
    centre->setPixmap(icons::Application().pixmap(64, 64));
    centre->setBackgroundRole(QPalette::Dark);
    centre->setAutoFillBackground(true);
    setCentralWidget(centre);
    BuildMenus();
    BuildToolbar();
    BuildStatusBars();
    MainForm = this;
}

frmMain::~frmMain() {
    if (MainForm == this) MainForm = nullptr;
}

void frmMain::BuildMenus() {
    auto item = [this](QMenu* menu, const QString& caption, const char* name, void (frmMain::*slot)()) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(name);
        if (slot) connect(a, &QAction::triggered, this, slot);
        return a;
    };
    QMenu* file = menuBar()->addMenu("&File");
    file->setObjectName("mnuFile");
    mnuFileLoad = item(file, "&Load...", "mnuFileLoad", &frmMain::OpenSetupLoad);
    mnuFileWrite = item(file, "&Write...", "mnuFileWrite", &frmMain::OpenSetupWrite);
    mnuFileBar = file->addSeparator();
    mnuFileBar->setObjectName("mnuFileBar");
    mnuFileExit = item(file, "E&xit", "mnuFileExit", nullptr);
    connect(mnuFileExit, &QAction::triggered, this, &QWidget::close);

    QMenu* view = menuBar()->addMenu("&View");
    view->setObjectName("mnuView");
    mnuViewOpen = item(view, "Open &View Window", "mnuViewOpen", &frmMain::ViewToggle);
    mnuViewToolbar = item(view, "&Toolbar", "mnuViewToolbar", &frmMain::ToggleToolbar);
    mnuViewToolbar->setCheckable(true);
    mnuViewStatusBar = item(view, "Status &Bar", "mnuViewStatusBar", &frmMain::ToggleStatusBar);
    mnuViewStatusBar->setCheckable(true);
    mnuViewMove = item(view, "&Move Toolbar", "mnuViewMove", &frmMain::MoveToolbar);

    QMenu* setup = menuBar()->addMenu("&Setup");
    setup->setObjectName("mnuSetup");
    mnuSetupDevice = item(setup, "Device &Type...", "mnuSetupDevice", &frmMain::OpenDeviceSetup);
    mnuSetupLoad = item(setup, "&Load...", "mnuSetupLoad", &frmMain::OpenSetupLoad);
    mnuSetupFill = item(setup, "&Fill...", "mnuSetupFill", &frmMain::OpenSetupFill);
    mnuSetupWrite = item(setup, "&Write...", "mnuSetupWrite", &frmMain::OpenSetupWrite);
    mnuSetupCksum = item(setup, "&Checksum...", "mnuSetupCksum", &frmMain::OpenSetupCksum);

    QMenu* quick = menuBar()->addMenu("&Quick");
    quick->setObjectName("mnuQuick");
    mnuQuickLoad = item(quick, "&Load", "mnuQuickLoad", &frmMain::QuickLoad);
    mnuQuickWrite = item(quick, "&Write", "mnuQuickWrite", &frmMain::QuickWrite);
    mnuQuickFill = item(quick, "&Fill", "mnuQuickFill", &frmMain::QuickFill);
    mnuQuickChecksum = item(quick, "&Checksum", "mnuQuickChecksum", &frmMain::QuickChecksum);
    QMenu* reset = quick->addMenu("&Reset...");
    reset->setObjectName("mnuQuickResetMenu");
    mnuQuickReset = reset->menuAction();
    mnuQuickReset->setObjectName("mnuQuickReset");
    const char* levels[6] = {"&Active", "&Inactive", "&Low", "&High", "Hi-&Z", "&Pulse"};
    for (int i = 0; i < 6; ++i) {
        QAction* a = reset->addAction(levels[i]);
        a->setObjectName("mnuQuickResetFunction");
        a->setProperty("index", i);
        connect(a, &QAction::triggered, this, [i] { ResetCommand(i); });
        mnuQuickResetFunction.append(a);
    }

    QMenu* help = menuBar()->addMenu("&Help");
    help->setObjectName("mnuHelp");
    mnuHelpTopics = item(help, "Help &Topics", "mnuHelpTopics", &frmMain::HelpTopics);
    mnuHelpWeb = item(help, "&Pelmo On The &Web", "mnuHelpWeb", &frmMain::HelpWeb);
    mnuHelpAbout = item(help, "&About ", "mnuHelpAbout", &frmMain::HelpAbout);
}

void frmMain::BuildToolbar() {
    tbToolBar = new QToolBar(this);
    tbToolBar->setObjectName("tbToolBar");
    tbToolBar->setWindowTitle("Toolbar");
    tbToolBar->setMovable(false);
    tbToolBar->setFloatable(false);
    tbToolBar->toggleViewAction()->setVisible(false);
    tbToolBar->setContextMenuPolicy(Qt::PreventContextMenu);
    struct Tool {
        const char* key;
        const char* tip;
        void (frmMain::*slot)();
    };
    static const Tool tools[6] = {
        {"QuickLoad", "Quick Load", &frmMain::QuickLoad}, {"QuickWrite", "Quick Write", &frmMain::QuickWrite},
        {"QuickFill", "Quick Fill", &frmMain::QuickFill}, {"QuickChecksum", "Quick Checksum", &frmMain::QuickChecksum},
        {"QuickReset", "Pulse Reset", nullptr},           {"OpenView", "Open View Window", &frmMain::ViewToggle}};
    for (const Tool& t : tools) {
        QAction* a = tbToolBar->addAction(icons::Tool(t.key), t.tip);
        a->setObjectName(t.key);
        a->setToolTip(t.tip);
        if (t.slot) connect(a, &QAction::triggered, this, t.slot);
        else connect(a, &QAction::triggered, this, [] { ResetCommand(5); });
    }
    // The view button shows the view's state; only the toggle changes it.
    QAction* view = Button("OpenView");
    view->setCheckable(true);
    addToolBar(Qt::TopToolBarArea, tbToolBar);
}

void frmMain::BuildStatusBars() {
    statusHost_ = new QStatusBar(this);
    statusHost_->setObjectName("StatusHost");
    statusHost_->setSizeGripEnabled(false);
    auto* rows = new QWidget(statusHost_);
    auto* column = new QVBoxLayout(rows);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    sbStatusBar = new StatusBar("sbStatusBar", rows);
    sbStatusBar->addPanel("Status", "Current State of the Pelmo", 3);
    sbStatusBar->addPanel("Unit", "Current Pelmo Unit Being Used", 1);
    sbStatusBar->addPanel("Type", "EPROM Device Type Being Emulated", 1);
    sbStatusBar->addPanel("Reset", "State of the Reset Clip", 2);
    sbStatusBar2 = new StatusBar("sbStatusBar2", rows);
    sbStatusBar2->addPanel("Load", "Current Load File Name", 4);
    sbStatusBar2->addPanel("Cksum", "Result of Last Checksum Operation", 1);
    column->addWidget(sbStatusBar);
    column->addWidget(sbStatusBar2);
    statusHost_->addWidget(rows, 1);
    Progress = new QProgressBar(statusHost_);
    Progress->setObjectName("Progress");
    Progress->setRange(0, 0);
    Progress->setTextVisible(false);
    Progress->setMaximumWidth(fontMetrics().horizontalAdvance("0000000000"));
    Progress->setAccessibleName("Operation in progress");
    Elapsed = new QLabel(statusHost_);
    Elapsed->setObjectName("Elapsed");
    statusHost_->addPermanentWidget(Progress);
    statusHost_->addPermanentWidget(Elapsed);
    Progress->hide();
    Elapsed->hide();
    busyTimer_ = new QTimer(this);
    busyTimer_->setObjectName("BusyTick");
    busyTimer_->setInterval(100);
    connect(busyTimer_, &QTimer::timeout, this, &frmMain::ShowElapsed);
    setStatusBar(statusHost_);
    connect(sbStatusBar, &StatusBar::panelClicked, this, [this](int) { OpenDeviceSetup(); });
    connect(sbStatusBar2, &StatusBar::panelClicked, this, [this](int i) {
        if (i == 0) OpenSetupLoad();
        else OpenSetupCksum();
    });
}

QAction* frmMain::Button(const QString& key) const {
    for (QAction* a : tbToolBar->actions())
        if (a->objectName() == key) return a;
    return nullptr;
}

bool frmMain::StatusBarsShown() const { return mnuViewStatusBar->isChecked(); }

void frmMain::Load() {
    DesignedCaption = windowTitle();
    SetStatus("Initializing...");
    ViewOpen = false;
    const int32_t unit = emu::VXAFind();
    modReg::LoadUnitSettings(unit);

    StartMaximized = modReg::GetHexSetting("MainWindowState", 0) == 2;
    if (StartMaximized) {
        setWindowState(windowState() | Qt::WindowMaximized);
    } else {
        const QRect screen = AvailableScreen();
        const int width = modReg::GetHexSetting("MainWidth", DesignedWidth);
        const int height = modReg::GetHexSetting("MainHeight", DesignedHeight);
        QRect place(modReg::GetHexSetting("MainLeft", screen.x() + (screen.width() - DesignedWidth) / 2),
                    modReg::GetHexSetting("MainTop", screen.y() + (screen.height() - DesignedHeight) / 2), width,
                    height);
        // A placement from another screen set-up, or from damaged settings, must
        // not leave the window out of reach.
        if (width < 100 || height < 60 || width > 16384 || height > 16384 || !QGuiApplication::screenAt(place.center()))
            place = QRect(screen.x() + (screen.width() - DesignedWidth) / 2,
                          screen.y() + (screen.height() - DesignedHeight) / 2, DesignedWidth, DesignedHeight);
        move(place.topLeft());
        resize(place.size());
    }

    const bool toolbar = modReg::GetHexSetting("MainToolbar", 1) != 0;
    mnuViewToolbar->setChecked(toolbar);
    tbToolBar->setVisible(toolbar);
    mnuViewMove->setEnabled(toolbar);

    sbStatusBar->hide();
    sbStatusBar2->hide();
    statusHost_->hide();
    const bool bars = modReg::GetHexSetting("MainStatusbar", 1) != 0;
    mnuViewStatusBar->setChecked(bars);
    if (bars) ShowStatusBars(true);

    SetToolbarAlign(modReg::GetHexSetting("MainToolbarAlign", 1));

    OpenUnit("Initialization");
    if (UnitSettings.DevType == 0) {
        if (StartMaximized) showMaximized();
        else show();
        OpenDeviceSetup();
    } else {
        SetStatus("EMULATING");
    }
}

void frmMain::SetToolbarAlign(int align) {
    align_ = align >= 1 && align <= 4 ? align : 1;
    const bool visible = mnuViewToolbar->isChecked();
    removeToolBar(tbToolBar);
    addToolBar(AreaOf(align_), tbToolBar);
    tbToolBar->setOrientation(align_ >= 3 ? Qt::Vertical : Qt::Horizontal);
    tbToolBar->setVisible(visible);
}

void frmMain::ShowStatusBars(bool on) {
    if (on) {
        statusHost_->show();
        sbStatusBar->show();
        update();
        sbStatusBar2->show();
    } else {
        sbStatusBar2->hide();
        sbStatusBar->hide();
        statusHost_->hide();
    }
    update();
}

void frmMain::SetViewToggle(bool open) {
    mnuViewOpen->setText(open ? "Close &View Window" : "Open &View Window");
    QAction* b = Button("OpenView");
    b->setChecked(open);
    b->setToolTip(open ? "Close View Window" : "Open View Window");
    b->setText(b->toolTip());
    tbToolBar->update();
}

void frmMain::SetBusy(bool on) {
    menuBar()->setEnabled(!on);
    tbToolBar->setEnabled(!on);
    sbStatusBar->setEnabled(!on);
    sbStatusBar2->setEnabled(!on);
    if (on) {
        busySince_ = ClockNow();
        busyTimer_->start();
    } else {
        busyTimer_->stop();
        Progress->hide();
        Elapsed->hide();
    }
}

void frmMain::ShowElapsed() {
    const uint64_t ms = ClockNow() - busySince_;
    if (ms < 500) return;
    const auto s = static_cast<qint64>(ms / 1000);
    Elapsed->setText(QString("Elapsed %1:%2").arg(s / 60).arg(s % 60, 2, 10, QChar('0')));
    if (!Progress->isVisible()) {
        Progress->show();
        Elapsed->show();
    }
}

void frmMain::OpenDeviceSetup() {
    frmSetupDevice dialog(this);
    dialog.exec();
    // A unit chosen in the dialog and then cancelled still owns the record: open
    // it, so that the panels and the operations name the same unit.
    if (UnitSettings.DevType != 0 && OpenedUnit != UnitSettings.Unit) OpenUnit("Device Setup");
    SetStatus(UnitSettings.DevType != 0 ? "EMULATING" : "NOT SET UP");
}

void frmMain::OpenSetupLoad() {
    frmLoad dialog(this);
    dialog.exec();
}

void frmMain::OpenSetupWrite() {
    frmWrite dialog(this);
    dialog.exec();
}

void frmMain::OpenSetupFill() {
    frmFill dialog(this);
    dialog.exec();
}

void frmMain::OpenSetupCksum() {
    frmCksum dialog(this);
    dialog.exec();
}

void frmMain::QuickLoad() {
    if (UnitSettings.DevType == 0) {
        OpenDeviceSetup();
        if (UnitSettings.DevType == 0) return;
    }
    if (UnitSettings.LoadFile.isEmpty()) OpenSetupLoad();
    else RunLoad("Quick Load", false);
}

void frmMain::QuickWrite() {
    if (UnitSettings.DevType == 0) {
        OpenDeviceSetup();
        if (UnitSettings.DevType == 0) return;
    }
    if (UnitSettings.WriteFile.isEmpty()) OpenSetupWrite();
    else RunWrite("Quick Write", false);
}

void frmMain::QuickFill() {
    if (UnitSettings.DevType == 0) {
        OpenDeviceSetup();
        if (UnitSettings.DevType != 0) OpenSetupFill();
        return;
    }
    RunFill("Quick Fill", false);
}

void frmMain::QuickChecksum() {
    if (UnitSettings.DevType == 0) {
        OpenDeviceSetup();
        if (UnitSettings.DevType != 0) OpenSetupCksum();
        return;
    }
    RunChecksum("Quick Checksum", !StatusBarsShown());
}

void frmMain::ViewToggle() {
    if (UnitSettings.DevType == 0) {
        OpenDeviceSetup();
        if (UnitSettings.DevType == 0) {
            SetViewToggle(ViewOpen);
            return;
        }
    }
    if (!ViewOpen) {
        auto* view = new frmViewEdit(this);
        view->setAttribute(Qt::WA_DeleteOnClose);
        if (view->Load()) {
            view->show();
            ViewWindow = view;
            ViewOpen = true;
        } else {
            delete view;
        }
    } else {
        CloseView();
    }
    SetViewToggle(ViewOpen);
}

void frmMain::ToggleToolbar() {
    // The action has flipped its own check mark already.
    const bool on = mnuViewToolbar->isChecked();
    tbToolBar->setVisible(on);
    mnuViewMove->setEnabled(on);
}

void frmMain::MoveToolbar() {
    static const int next[5] = {1, 3, 4, 2, 1};  // top -> left -> bottom -> right -> top
    SetToolbarAlign(align_ >= 1 && align_ <= 4 ? next[align_] : 1);
}

void frmMain::ToggleStatusBar() { ShowStatusBars(mnuViewStatusBar->isChecked()); }

void frmMain::HelpTopics() {
    if (HelpFile.isEmpty()) {
        MsgBox("Unable to display Help Contents. There is no Help associated with this project.", BoxIcon::Information,
               BoxButtons::Ok, windowTitle());
        return;
    }
    const QString error = frmHelp::ShowTopic(this, QString());
    if (!error.isEmpty()) MsgBox(error, BoxIcon::None, BoxButtons::Ok, windowTitle());
}

void frmMain::HelpWeb() { QDesktopServices::openUrl(QUrl::fromLocalFile(WebPage)); }

void frmMain::HelpAbout() {
    frmAbout about(this);
    about.exec();
}

void frmMain::closeEvent(QCloseEvent* event) {
    // The library call under way finishes first; the window closes after it.
    if (Calling()) {
        CloseWhenIdle = true;
        event->ignore();
        return;
    }
    // Other windows go first: the view releases its snapshot as it closes.
    CloseView();
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if (*it != this && (*it)->isVisible()) (*it)->close();

    modReg::SaveUnitSettings();
    modReg::SaveHexSetting("MainToolbar", mnuViewToolbar->isChecked() ? 1 : 0);
    modReg::SaveHexSetting("MainStatusbar", mnuViewStatusBar->isChecked() ? 1 : 0);
    modReg::SaveHexSetting("MainToolbarAlign", align_);
    const Qt::WindowStates state = windowState();
    const int stored = state & Qt::WindowMinimized ? 1 : state & Qt::WindowMaximized ? 2 : 0;
    modReg::SaveHexSetting("MainWindowState", stored);
    if (stored == 0) {
        modReg::SaveHexSetting("MainTop", y());
        modReg::SaveHexSetting("MainLeft", x());
        modReg::SaveHexSetting("MainHeight", height());
        modReg::SaveHexSetting("MainWidth", width());
    }
    frmHelp::CloseAll();
    QString file, reason;
    if (!modReg::Sync(&file, &reason))
        MsgBox("UNABLE TO SAVE THE SETTINGS IN\r" + file + "\r" + reason, BoxIcon::Exclamation, BoxButtons::Ok,
               " Pelmo Error -- Shutdown");
    event->accept();
}

void frmMain::RestoreStartPlacement() {
    if (!StartMaximized || windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)) return;
    StartMaximized = false;
    const int left = modReg::GetHexSetting("MainLeft", x());
    const int top = modReg::GetHexSetting("MainTop", y());
    const int width = modReg::GetHexSetting("MainWidth", this->width());
    const int height = modReg::GetHexSetting("MainHeight", this->height());
    move(left, top);
    resize(width, height);
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    RestoreStartPlacement();
}

void frmMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) RestoreStartPlacement();
}
