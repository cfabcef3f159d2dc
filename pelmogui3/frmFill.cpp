#include "pelmogui3/frmFill.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "pelmogui3/modMain.h"

using namespace modMain;

frmFill::frmFill(QWidget* parent)
    : SetupForm(parent, "frmFill", " Pelmo Fill Setup", "Fill",
                "Or the word ALL to indicate filling of the entire device", "fill") {
    auto* grid = new QGridLayout(this);
    FillValue = AddField("FillValue", "FillValueLabel", "&Fill Value (hex)", FieldKind::FillByte, grid, 0);
    FillStart = AddField("FillStart", "FillStartLabel", "&Start (hex)", FieldKind::Start, grid, 1);
    FillLength = AddField("FillLength", "FillLengthLabel", "&Length (hex)", FieldKind::Length, grid, 2);
    auto* options = new QGroupBox(this);
    auto* column = new QVBoxLayout(options);
    const char* captions[3] = {"Fill &Only", "Fill && Verif&y", "&Verify Only"};
    for (int i = 0; i < 3; ++i) {
        FillMode[i] = new QRadioButton(captions[i], options);
        FillMode[i]->setObjectName(QString("FillMode%1").arg(i));
        column->addWidget(FillMode[i]);
        connect(FillMode[i], &QRadioButton::toggled, this, [this] { CaptionNow(); });
    }
    grid->addWidget(options, 0, 2, 3, 1);
    AddButtons(grid, 3, 3, "Fill &Now");
    NowButton->setObjectName("FillNow");
    DoneButton->setObjectName("FillDone");
    CancelButton->setObjectName("FillCancel");
    HelpButton->setObjectName("FillHelp");

    const UnitSettingsRecord& s = UnitSettings;
    FillValue->setText(Hex(s.FillValue & 0xFF).rightJustified(2, '0'));
    FillStart->setText(Hex(s.FillStart));
    FillLength->setText(LengthText(s.FillLength));
    FillMode[std::clamp(s.FillMode, 0, 2)]->setChecked(true);
    CaptionNow();
    NowButton->setEnabled(!FillValue->text().isEmpty());
    connect(FillValue, &QLineEdit::textChanged, this,
            [this](const QString& t) { NowButton->setEnabled(!t.isEmpty()); });
    SetTabOrder({FillValue, FillStart, FillLength, FillMode[0], FillMode[1], FillMode[2]});
}

void frmFill::CaptionNow() { NowButton->setText(FillMode[2]->isChecked() ? "Verify &Now" : "Fill &Now"); }

void frmFill::StoreFields() {
    UnitSettingsRecord& s = UnitSettings;
    s.FillValue = HexValue(FillValue->text());
    s.FillStart = HexValue(FillStart->text());
    s.FillLength = HexValue(FillLength->text());
    for (int i = 0; i < 3; ++i) {
        if (FillMode[i]->isChecked()) {
            s.FillMode = i;
            break;
        }
    }
}

void frmFill::Now() {
    StoreFields();
    RunFill("Setup Fill", true);
}

void frmFill::Done() {
    if (!CheckFields({FillValue, FillStart, FillLength})) return;
    StoreFields();
    accept();
}
