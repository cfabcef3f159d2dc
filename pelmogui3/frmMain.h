// The main window: menus, toolbar and the two status bars; it starts the
// application's work on the unit and stores the settings when it closes.
#pragma once

#include <cstdint>
#include <QList>
#include <QMainWindow>

#include "pelmogui3/controls.h"

class QAction;
class QLabel;
class QProgressBar;
class QTimer;
class QMenu;
class QStatusBar;
class QToolBar;

class frmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // The window's load step: unit, settings, placement, bars, opening the unit.
    void Load();

    // Toolbar edge: 1 top, 2 bottom, 3 left, 4 right.
    int ToolbarAlign() const { return align_; }
    bool StatusBarsShown() const;
    QAction* Button(const QString& key) const;
    void SetViewToggle(bool open);
    // While a library call runs: menus, toolbar and panels disabled and, after
    // half a second, the busy indicator with the elapsed time.
    void SetBusy(bool on);

    // Commands of the menus and the toolbar.
    void OpenDeviceSetup();
    void OpenSetupLoad();
    void OpenSetupWrite();
    void OpenSetupFill();
    void OpenSetupCksum();
    void QuickLoad();
    void QuickWrite();
    void QuickFill();
    void QuickChecksum();
    void ViewToggle();
    void ToggleToolbar();
    void MoveToolbar();
    void ToggleStatusBar();
    void HelpTopics();
    void HelpWeb();
    void HelpAbout();

    StatusBar* sbStatusBar = nullptr;
    // The busy indicator (no percentage: the library reports no progress) and
    // the elapsed time beside it.
    QProgressBar* Progress = nullptr;
    QLabel* Elapsed = nullptr;
    StatusBar* sbStatusBar2 = nullptr;
    QToolBar* tbToolBar = nullptr;
    QAction* mnuFileLoad = nullptr;
    QAction* mnuFileWrite = nullptr;
    QAction* mnuFileBar = nullptr;
    QAction* mnuFileExit = nullptr;
    QAction* mnuViewOpen = nullptr;
    QAction* mnuViewToolbar = nullptr;
    QAction* mnuViewStatusBar = nullptr;
    QAction* mnuViewMove = nullptr;
    QAction* mnuSetupDevice = nullptr;
    QAction* mnuSetupLoad = nullptr;
    QAction* mnuSetupFill = nullptr;
    QAction* mnuSetupWrite = nullptr;
    QAction* mnuSetupCksum = nullptr;
    QAction* mnuQuickLoad = nullptr;
    QAction* mnuQuickWrite = nullptr;
    QAction* mnuQuickFill = nullptr;
    QAction* mnuQuickChecksum = nullptr;
    QAction* mnuQuickReset = nullptr;
    QList<QAction*> mnuQuickResetFunction;
    QAction* mnuHelpTopics = nullptr;
    QAction* mnuHelpWeb = nullptr;
    QAction* mnuHelpAbout = nullptr;

    static constexpr int DesignedWidth = 640;
    static constexpr int DesignedHeight = 300;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildMenus();
    void BuildToolbar();
    void BuildStatusBars();
    void SetToolbarAlign(int align);
    void ShowStatusBars(bool on);
    void RestoreStartPlacement();

    void ShowElapsed();

    QStatusBar* statusHost_ = nullptr;
    QTimer* busyTimer_ = nullptr;
    // When the call began, on the clock service (a test drives it).
    uint64_t busySince_ = 0;
    int align_ = 1;
};
