#include "pelmogui3/setupform.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "pelmogui3/fieldguard.h"
#include "pelmogui3/frmHelp.h"
#include "pelmogui3/modMain.h"

using namespace modMain;

SetupForm::SetupForm(QWidget* parent, const char* name, const QString& caption, const QString& subject,
                     const QString& allLine, const QString& helpTopic)
    : QDialog(parent), title_(" Pelmo " + subject + " Setup"), allLine_(allLine) {
    setObjectName(name);
    setWindowTitle(caption);
    setModal(true);
    NowButton = new QPushButton(this);
    DoneButton = new QPushButton("&Done", this);
    CancelButton = new QPushButton("Cancel", this);
    HelpButton = new QPushButton("&Help", this);
    for (QPushButton* b : {NowButton, DoneButton, CancelButton, HelpButton}) b->setAutoDefault(false);
    DoneButton->setDefault(true);
    guard_ = new FieldGuard(this, [this](QLineEdit* field) { return CheckField(field); });
    GuardButton(NowButton, [this] { Now(); });
    GuardButton(DoneButton, [this] { Done(); });
    guard_->Exempt(CancelButton);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    GuardButton(HelpButton, [this, helpTopic] {
        const QString error = frmHelp::ShowTopic(this, helpTopic);
        if (!error.isEmpty()) MsgBox(error, BoxIcon::None, BoxButtons::Ok, windowTitle());
    });
}

SetupForm::~SetupForm() { delete guard_; }

void SetupForm::GuardButton(QAbstractButton* button, std::function<void()> action) {
    guard_->Connect(button, std::move(action));
}

void SetupForm::SetTabOrder(const QList<QWidget*>& controls) {
    QList<QWidget*> chain = controls;
    chain << NowButton << DoneButton << CancelButton << HelpButton;
    for (int i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
    chain.first()->setFocus();
}

QString SetupForm::Hex(int32_t v) { return QString::number(static_cast<uint32_t>(v), 16).toUpper(); }

QString SetupForm::LengthText(int32_t v) { return v == 0 ? QString("ALL") : Hex(v); }

QLineEdit* SetupForm::AddField(const char* name, const char* labelName, const QString& label, FieldKind kind,
                               QGridLayout* grid, int row, QLabel** labelOut) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    auto* l = new QLabel(label, this);
    l->setObjectName(labelName);
    l->setBuddy(edit);
    grid->addWidget(l, row, 0);
    grid->addWidget(edit, row, 1);
    fields_.append({edit, kind});
    if (kind != FieldKind::Text) guard_->AddField(edit);
    if (labelOut) *labelOut = l;
    return edit;
}

void SetupForm::AddButtons(QGridLayout* grid, int row, int columns, const QString& nowCaption) {
    NowButton->setText(nowCaption);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(NowButton);
    buttons->addStretch(1);
    buttons->addWidget(DoneButton);
    buttons->addWidget(CancelButton);
    buttons->addWidget(HelpButton);
    grid->addLayout(buttons, row, 0, 1, columns);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}

FieldKind SetupForm::KindOf(QLineEdit* field) const {
    for (const auto& f : fields_)
        if (f.first == field) return f.second;
    return FieldKind::Text;
}

bool SetupForm::CheckField(QLineEdit* field) {
    const FieldKind kind = KindOf(field);
    const QString text = field->text().trimmed();
    int32_t v = 0;
    const bool hex = ParseHex(text, &v);
    QString shown;
    QString message;
    switch (kind) {
    case FieldKind::Start:
    case FieldKind::LoadTarget:
        if (text.isEmpty()) shown = "0";
        else if (hex && v >= 0 && v <= 0xFFFFF) shown = Hex(v);
        else
            message = QString("Please specify a Hex %1 Address between 0 and FFFFF")
                          .arg(kind == FieldKind::Start ? "Start" : "Target");
        break;
    case FieldKind::Length:
        if (text.isEmpty() || text.compare("ALL", Qt::CaseInsensitive) == 0 || (hex && v == 0)) shown = "ALL";
        else if (hex && v >= 1 && v <= 0x100000) shown = Hex(v);
        else message = "Please specify a Hex Length in Bytes between 1 and 100000\r" + allLine_;
        break;
    case FieldKind::FillByte:
        if (text.isEmpty()) shown = "FF";
        else if (hex && v >= 0 && v <= 0xFF) shown = Hex(v).rightJustified(2, '0');
        else message = "Please specify a Fill Value between 0 and FF";
        break;
    case FieldKind::OptionalTarget:
    case FieldKind::OptionalEntry:
        if (text.isEmpty() || hex) shown = text.isEmpty() ? QString() : Hex(v);
        else
            message = kind == FieldKind::OptionalTarget
                          ? "Please specify a Hex Target Address\rOr Leave BLANK to use Start Address"
                          : "Please specify a Hex Entry Point Address \rOr Leave BLANK for No Entry Point";
        break;
    case FieldKind::OptionalFill:
        if (text.isEmpty()) shown = QString();
        else if (hex && v >= 0 && v <= 0xFF) shown = Hex(v);
        else message = "Please specify a Hex Fill Value between 0 and FF\rOr Leave BLANK for No Fill Removal";
        break;
    case FieldKind::RecordLength: {
        bool ok = false;
        const int n = text.toInt(&ok, 10);
        if (text.isEmpty()) shown = "32";
        else if (ok && n >= 1 && n <= 255) shown = QString::number(n);
        else message = "Please specify a Decimal Record Length between 1 and 255";
        break;
    }
    case FieldKind::Text: shown = text; break;
    }
    if (message.isEmpty()) {
        if (field->text() != shown) field->setText(shown);
        return true;
    }
    MsgBox(message, BoxIcon::Exclamation, BoxButtons::Ok, title_);
    field->setFocus();
    field->selectAll();
    return false;
}

bool SetupForm::CheckFields(const QList<QLineEdit*>& order) {
    for (QLineEdit* f : order)
        if (!CheckField(f)) return false;
    return true;
}
