#include "pelmogui3/controls.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace {

// A greyed panel is reported as disabled to assistive tools, as it is drawn.
class AccessiblePanel : public QAccessibleWidget {
public:
    explicit AccessiblePanel(StatusPanel* panel) : QAccessibleWidget(panel, QAccessible::StaticText) {}
    QString text(QAccessible::Text t) const override {
        auto* p = static_cast<StatusPanel*>(widget());
        if (t == QAccessible::Name) return p->text();
        if (t == QAccessible::Description) return p->toolTip();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State st = QAccessibleWidget::state();
        if (!static_cast<StatusPanel*>(widget())->panelEnabled()) st.disabled = true;
        return st;
    }
};

QAccessibleInterface* PanelFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("StatusPanel") && object && object->isWidgetType())
        return new AccessiblePanel(static_cast<StatusPanel*>(object));
    return nullptr;
}

}  // namespace

StatusPanel::StatusPanel(const QString& key, const QString& toolTip, QWidget* parent)
    : QLabel(parent), key_(key), tip_(toolTip) {
    static const bool factory = (QAccessible::installFactory(PanelFactory), true);
    (void)factory;
    setObjectName(key);
    setToolTip(toolTip);
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setMargin(2);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setMinimumWidth(fontMetrics().horizontalAdvance("SUM: 0000-0000") + 12);
}

void StatusPanel::setPanelEnabled(bool on) {
    const bool changed = enabled_ != on;
    enabled_ = on;
    if (changed && QAccessible::isActive()) {
        QAccessible::State st;
        st.disabled = true;
        QAccessibleStateChangeEvent ev(this, st);
        QAccessible::updateAccessibility(&ev);
    }
    QPalette p = palette();
    p.setColor(QPalette::WindowText,
               parentWidget()->palette().color(on ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    setPalette(p);
}

void StatusPanel::setElided(bool on) {
    elide_ = on;
    UpdateTip();
    update();
}

bool StatusPanel::isElided() const {
    if (!elide_) return false;
    return fontMetrics().horizontalAdvance(text()) > contentsRect().width() - 2 * margin();
}

// The panel's width comes from the bar's layout, never from its text.
QSize StatusPanel::minimumSizeHint() const { return QSize(minimumWidth(), QLabel::minimumSizeHint().height()); }

QSize StatusPanel::sizeHint() const {
    const QSize hint = QLabel::sizeHint();
    return elide_ ? QSize(minimumWidth(), hint.height()) : hint;
}

void StatusPanel::paintEvent(QPaintEvent* event) {
    if (!elide_) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter p(this);
    drawFrame(&p);
    const QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, shownText());
}

QString StatusPanel::shownText() const {
    if (!elide_) return text();
    const QRect r = contentsRect().adjusted(margin(), margin(), -margin(), -margin());
    return fontMetrics().elidedText(text(), Qt::ElideMiddle, r.width());
}

void StatusPanel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    UpdateTip();
}

void StatusPanel::UpdateTip() {
    const qsizetype colon = text().indexOf(": ");
    const QString detail = colon >= 0 ? text().mid(colon + 2) : text();
    const QString tip = isElided() ? tip_ + "\n" + detail : tip_;
    if (toolTip() != tip) setToolTip(tip);
}

StatusBar::StatusBar(const QString& name, QWidget* parent) : QWidget(parent) {
    setObjectName(name);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 1, 0, 1);
    row->setSpacing(2);
}

StatusPanel* StatusBar::addPanel(const QString& key, const QString& toolTip, int stretch) {
    auto* p = new StatusPanel(key, toolTip, this);
    static_cast<QHBoxLayout*>(layout())->addWidget(p, stretch);
    panels_.append(p);
    return p;
}

void StatusBar::mousePressEvent(QMouseEvent* event) {
    for (int i = 0; i < panels_.size(); ++i) {
        if (panels_[i]->geometry().contains(event->position().toPoint())) {
            emit panelClicked(i);
            return;
        }
    }
    QWidget::mousePressEvent(event);
}

namespace icons {
namespace {

// Draws one 32x32 glyph; the painter is already scaled to that box.
void Draw(QPainter& p, const QString& key) {
    const QColor ink(0x20, 0x30, 0x50), chip(0x30, 0x30, 0x38), accent(0x1e, 0x88, 0xe5), warm(0xe5, 0x6b, 0x1e);
    auto chipBody = [&](QRectF r) {
        p.setPen(Qt::NoPen);
        p.setBrush(chip);
        p.drawRoundedRect(r, 2, 2);
        p.setBrush(QColor(0xc0, 0xc0, 0xc8));
        for (int i = 0; i < 5; ++i) {
            const double y = r.top() + 2 + i * (r.height() - 4) / 5.0;
            p.drawRect(QRectF(r.left() - 3, y, 3, 2));
            p.drawRect(QRectF(r.right(), y, 3, 2));
        }
        p.setBrush(QColor(0xff, 0xff, 0xff, 0x50));
        p.drawEllipse(QRectF(r.center().x() - 2, r.top() + 1, 4, 4));
    };
    auto arrow = [&](QPointF from, QPointF to, QColor c) {
        p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(from, to);
        const QPointF d = (to - from) / std::max(1.0, std::hypot((to - from).x(), (to - from).y()));
        const QPointF n(-d.y(), d.x());
        p.setBrush(c);
        p.setPen(Qt::NoPen);
        p.drawPolygon(QPolygonF{to + d * 3, to - d * 5 + n * 5, to - d * 5 - n * 5});
    };
    if (key == "App") {
        chipBody(QRectF(9, 4, 14, 24));
        p.setPen(QPen(accent, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(2, 2, 28, 28));
    } else if (key == "QuickLoad") {
        chipBody(QRectF(14, 10, 12, 20));
        arrow(QPointF(6, 2), QPointF(12, 12), accent);
    } else if (key == "QuickWrite") {
        chipBody(QRectF(4, 10, 12, 20));
        p.setPen(QPen(ink, 1.5));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(20, 14, 10, 14));
        arrow(QPointF(14, 6), QPointF(24, 10), accent);
    } else if (key == "QuickFill") {
        chipBody(QRectF(10, 12, 12, 18));
        p.setPen(Qt::NoPen);
        p.setBrush(accent);
        QPainterPath drop;
        drop.moveTo(16, 1);
        drop.cubicTo(22, 8, 20, 11, 16, 11);
        drop.cubicTo(12, 11, 10, 8, 16, 1);
        p.drawPath(drop);
    } else if (key == "QuickChecksum") {
        p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF{QPointF(24, 5), QPointF(8, 5), QPointF(17, 16), QPointF(8, 27), QPointF(24, 27)});
        p.setPen(QPen(accent, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(22, 16), QPointF(29, 16));
    } else if (key == "QuickReset") {
        p.setPen(QPen(warm, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF{QPointF(2, 24), QPointF(10, 24), QPointF(10, 8), QPointF(20, 8), QPointF(20, 24),
                                 QPointF(30, 24)});
    } else if (key == "OpenView") {
        p.setPen(QPen(ink, 1.5));
        p.setBrush(Qt::white);
        p.drawRect(QRectF(3, 3, 26, 26));
        p.setPen(QPen(accent, 2));
        for (int i = 0; i < 5; ++i) p.drawLine(QPointF(7, 8 + i * 4.5), QPointF(i % 2 ? 19 : 25, 8 + i * 4.5));
    }
}

QIcon Drawn(const QString& key) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 32.0, size / 32.0);
        Draw(p, key);
        p.end();
        icon.addPixmap(pm);
    }
    return icon;
}

}  // namespace

QIcon Application() { return QIcon::fromTheme("pelmogui3", Drawn("App")); }

QIcon Tool(const QString& key) { return Drawn(key); }

}  // namespace icons
