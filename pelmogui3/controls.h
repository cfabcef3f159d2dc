// Controls the forms share: status bars made of panels, and the program's icons.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QList>
#include <QWidget>

// One panel of a status bar. Its enabled state greys the text only: a panel
// still answers a click while it shows stale information.
class StatusPanel : public QLabel {
    Q_OBJECT
public:
    StatusPanel(const QString& key, const QString& toolTip, QWidget* parent);
    const QString& key() const { return key_; }
    bool panelEnabled() const { return enabled_; }
    void setPanelEnabled(bool on);
    // A text too long for the panel is drawn elided in the middle; the tool tip
    // then adds the whole detail (the part after "NAME: "). Call again after
    // each change of the text.
    void setElided(bool on);
    bool isElided() const;
    // The text as the panel draws it: elided in the middle when too long.
    QString shownText() const;
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void UpdateTip();

    QString key_;
    QString tip_;
    bool enabled_ = true;
    bool elide_ = false;
};

// A row of panels; a click on any panel is reported with its index.
class StatusBar : public QWidget {
    Q_OBJECT
public:
    StatusBar(const QString& name, QWidget* parent);
    StatusPanel* addPanel(const QString& key, const QString& toolTip, int stretch);
    StatusPanel* panel(int index) const { return panels_.value(index); }
    int count() const { return static_cast<int>(panels_.size()); }

signals:
    void panelClicked(int index);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QList<StatusPanel*> panels_;
};

namespace icons {
// Toolbar and window icons: the desktop theme's where it has them, else our own.
QIcon Application();
QIcon Tool(const QString& key);
}  // namespace icons
