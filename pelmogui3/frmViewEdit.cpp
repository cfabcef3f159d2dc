#include "pelmogui3/frmViewEdit.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTextDocument>
#include <QTextEdit>
#include <cmath>
#include <cstring>

#include "pelmogui3/modLib.h"
#include "pelmogui3/modMain.h"
#include "pelmogui3/modReg.h"

using namespace modMain;

frmViewEdit::frmViewEdit(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName("frmViewEdit");
    setWindowTitle("Pelmo -- View Contents");
    EditBox = new QTextEdit(this);
    EditBox->setObjectName("EditBox");
    EditBox->setReadOnly(true);
    EditBox->setLineWrapMode(QTextEdit::NoWrap);
    EditBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QFont font("Courier New");
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    if (!QFontInfo(font).fixedPitch()) font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    EditBox->setFont(font);
    VScrollBar = new QScrollBar(Qt::Vertical, this);
    VScrollBar->setObjectName("VScrollBar");
    VScrollBar->setRange(0, ScrollMax);
    VScrollBar->installEventFilter(this);
    // The scroll bar is the window's keyboard control: it takes the focus by Tab
    // and by click, has it when the view opens, and pages by the keys. The dump
    // only shows; the wheel over it turns the scroll bar.
    VScrollBar->setFocusPolicy(Qt::StrongFocus);
    EditBox->setFocusPolicy(Qt::NoFocus);
    EditBox->viewport()->installEventFilter(this);
    setFocusProxy(VScrollBar);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(EditBox, 1);
    row->addWidget(VScrollBar);
    // 17 lines of 78 characters and a frame.
    const QFontMetrics m = EditBox->fontMetrics();
    const int frame = 2 * EditBox->frameWidth() + 2 * int(EditBox->document()->documentMargin()) + 4;
    EditBox->setMinimumSize(m.horizontalAdvance(QString(78, '0')) + frame, m.lineSpacing() * 17 + frame);
    EditBox->resize(EditBox->minimumSize());
    connect(VScrollBar, &QScrollBar::valueChanged, this, &frmViewEdit::ScrollToAddress);
}

bool frmViewEdit::Load() {
    adjustSize();
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1024, 768);
    const int top = modReg::GetHexSetting("ViewTop", screen.y() + (screen.height() - height()) / 2);
    const int left = modReg::GetHexSetting("ViewLeft", screen.x() + (screen.width() - width()) / 2);
    move(QGuiApplication::screenAt(QPoint(left + width() / 2, top + 20))
             ? QPoint(left, top)
             : QPoint(screen.x() + (screen.width() - width()) / 2, screen.y() + (screen.height() - height()) / 2));
    if (!RunView("VIEW")) return false;
    UnitSettingsRecord& s = UnitSettings;
    if (s.ViewAddress > s.DevSize - 256) s.ViewAddress = s.DevSize - 256;
    if (s.ViewAddress < 0) s.ViewAddress = 0;
    // One small step is one 16-byte line of the mapping below, a large step 16 lines.
    const int lines = s.DevSize / 16;
    const double unitsPerLine = lines > 16 ? double(ScrollMax) / (lines - 16) : double(ScrollMax);
    const int small = std::max(1, int(std::lround(unitsPerLine)));
    VScrollBar->setSingleStep(small);
    VScrollBar->setPageStep(small * 16);
    SyncScrollBar();
    RenderView();
    VScrollBar->setFocus();
    return true;
}

void frmViewEdit::RenderView() {
    // 17 lines of 78 characters and the NUL: a page that does not start on a line.
    char buffer[1400];
    std::memset(buffer, 0, sizeof buffer);
    const int32_t first = UnitSettings.ViewAddress;
    CallLibraryHere([&buffer, first] { return emu::VXAViewFormat(buffer, first, 256, 16); });
    QString text = QString::fromLatin1(buffer, static_cast<qsizetype>(strnlen(buffer, sizeof buffer)));
    text.replace("\r\n", "\n");
    if (text.endsWith('\n')) text.chop(1);
    EditBox->setPlainText(ShownDump(text));
}

void frmViewEdit::ScrollToAddress(int position) {
    const int32_t span = UnitSettings.DevSize - 256;
    if (span <= 0) return;
    int64_t a = std::llround(double(span) / ScrollMax * position);
    a += 8;
    a -= a % 16;
    a = std::clamp<int64_t>(a, 0, span);
    if (a == UnitSettings.ViewAddress) return;
    UnitSettings.ViewAddress = static_cast<int32_t>(a);
    RenderView();
}

void frmViewEdit::SyncScrollBar() {
    const int32_t span = UnitSettings.DevSize - 256;
    const int position = span > 0 ? int(std::lround(double(UnitSettings.ViewAddress) / span * ScrollMax)) : 0;
    if (position != VScrollBar->value()) VScrollBar->setValue(position);
}

QString frmViewEdit::ShownDump(const QString& dump) {
    // The library shows bytes below 0x20 as 0x7F and passes the others through;
    // control characters (C0, DEL and C1) have no glyph and show as ".". Only
    // the character column (the last 16 characters of a dump line) holds bytes.
    QStringList lines = dump.split('\n');
    for (QString& line : lines) {
        if (line.size() != 76) continue;
        for (qsizetype i = line.size() - 16; i < line.size(); ++i) {
            const char16_t c = line[i].unicode();
            if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) line[i] = '.';
        }
    }
    return lines.join('\n');
}

bool frmViewEdit::eventFilter(QObject* watched, QEvent* event) {
    if (watched == EditBox->viewport() && event->type() == QEvent::Wheel) {
        QCoreApplication::sendEvent(VScrollBar, event);
        return true;
    }
    if (watched == VScrollBar && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_F5) {
        CloseView();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void frmViewEdit::closeEvent(QCloseEvent* event) {
    CloseView();
    modReg::SaveHexSetting("ViewTop", y());
    modReg::SaveHexSetting("ViewLeft", x());
    event->accept();
}
