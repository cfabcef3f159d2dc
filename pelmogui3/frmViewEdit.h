// The view window: a snapshot of the whole device, shown as a hex dump 256
// bytes at a time, with a scroll bar over the whole device.
#pragma once

#include <QWidget>

class QScrollBar;
class QTextEdit;

class frmViewEdit : public QWidget {
    Q_OBJECT
public:
    explicit frmViewEdit(QWidget* owner);

    // Placement, snapshot and first page. False when the snapshot failed (its box
    // has been shown); the window is then not to be shown.
    bool Load();

    // The scroll bar's range is 0..ScrollMax.
    static constexpr int ScrollMax = 1 << 20;

    QTextEdit* EditBox = nullptr;
    // The dump as shown: control characters in the character column as ".".
    static QString ShownDump(const QString& dump);
    QScrollBar* VScrollBar = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void RenderView();
    void ScrollToAddress(int position);
    void SyncScrollBar();
};
