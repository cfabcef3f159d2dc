#include "pelmogui3/frmSetupDevice.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "pelmogui3/fieldguard.h"
#include "pelmogui3/frmHelp.h"
#include "pelmogui3/modMain.h"
#include "pelmogui3/modReg.h"

using namespace modMain;

frmSetupDevice::frmSetupDevice(QWidget* parent) : QDialog(parent) {
    setObjectName("frmSetupDevice");
    setWindowTitle(" Pelmo Device Setup");
    setModal(true);
    auto combo = [this](const char* name, const QStringList& items) {
        auto* c = new QComboBox(this);
        c->setObjectName(name);
        c->addItems(items);
        return c;
    };
    auto label = [this](const char* name, const QString& text, QWidget* buddy) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setBuddy(buddy);
        return l;
    };
    DeviceType =
        combo("DeviceType", {"(Select One)", "2716 (2K)", "2732 (4K)", "2764 (8K)", "27128 (16K)", "27256 (32K)",
                             "27512 (64K)", "27010 (128K)", "27020 (256K)", "27040 (512K)", "27080 (1M)"});
    Label1 = label("Label1", "&Emulation Device Type", DeviceType);
    Unit = combo("Unit", {"0", "1", "2", "3", "Virtual"});
    LoadFileUnitLabel = label("LoadFileUnitLabel", "&Unit Address", Unit);

    Label2 = new QGroupBox("Reset States", this);
    Label2->setObjectName("Label2");
    Active = combo("Active", {"Low", "High", "Hi-Z"});
    Inactive = combo("Inactive", {"Low", "High", "Hi-Z"});
    PulseWidth = new QLineEdit(this);
    PulseWidth->setObjectName("PulseWidth");
    PulseWidth->setMaxLength(8);
    Label3 = label("Label3", "&Active", Active);
    Label4 = label("Label4", "&Inactive", Inactive);
    Label5 = label("Label5", "&Reset Pulse Width (ms)", PulseWidth);
    AutoReset = new QCheckBox("&Operate Reset Automatically", this);
    AutoReset->setObjectName("AutoReset");
    auto* resetGrid = new QGridLayout(Label2);
    resetGrid->addWidget(Label3, 0, 0);
    resetGrid->addWidget(Active, 0, 1);
    resetGrid->addWidget(Label4, 1, 0);
    resetGrid->addWidget(Inactive, 1, 1);
    resetGrid->addWidget(Label5, 2, 0);
    resetGrid->addWidget(PulseWidth, 2, 1);
    resetGrid->addWidget(AutoReset, 3, 0, 1, 2);

    auto* foldBox = new QGroupBox("Folding", this);
    foldBox->setObjectName("FoldingFrame");
    auto* foldColumn = new QVBoxLayout(foldBox);
    const char* folds[3] = {"&No Folding", "&Partial Folding", "&Full Folding"};
    for (int i = 0; i < 3; ++i) {
        Folding[i] = new QRadioButton(folds[i], foldBox);
        Folding[i]->setObjectName(QString("Folding%1").arg(i));
        foldColumn->addWidget(Folding[i]);
    }

    auto button = [this](const char* name, const QString& text) {
        auto* b = new QPushButton(text, this);
        b->setObjectName(name);
        b->setAutoDefault(false);
        return b;
    };
    ApplyButton = button("ApplyButton", "&Test");
    DoneButton = button("DoneButton", "&Done");
    CancelButton = button("CancelButton", "Cancel");
    HelpButton = button("HelpButton", "&Help");
    DoneButton->setDefault(true);

    auto* grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(DeviceType, 0, 1);
    grid->addWidget(LoadFileUnitLabel, 1, 0);
    grid->addWidget(Unit, 1, 1);
    grid->addWidget(Label2, 2, 0, 1, 2);
    grid->addWidget(foldBox, 0, 2, 3, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(ApplyButton);
    buttons->addStretch(1);
    buttons->addWidget(DoneButton);
    buttons->addWidget(CancelButton);
    buttons->addWidget(HelpButton);
    grid->addLayout(buttons, 3, 0, 1, 3);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    guard_ = new FieldGuard(this, [this](QLineEdit*) { return ValidatePulseWidth(); });
    guard_->AddField(PulseWidth);
    guard_->Connect(ApplyButton, [this] { Test(); });
    guard_->Connect(DoneButton, [this] { Done(); });
    guard_->Exempt(CancelButton);
    connect(CancelButton, &QPushButton::clicked, this, &QDialog::reject);
    guard_->Connect(HelpButton, [this] {
        const QString error = frmHelp::ShowTopic(this, "device");
        if (!error.isEmpty()) MsgBox(error, BoxIcon::None, BoxButtons::Ok, windowTitle());
    });
    connect(DeviceType, &QComboBox::activated, this, [this](int) { EnableControls(); });
    connect(Unit, &QComboBox::activated, this, &frmSetupDevice::UnitChosen);

    FillFromRecord();
    EnableControls();
}

frmSetupDevice::~frmSetupDevice() { delete guard_; }

void frmSetupDevice::FillFromRecord() {
    const UnitSettingsRecord& s = UnitSettings;
    Unit->setCurrentIndex(s.Unit >= 0 && s.Unit <= 4 ? s.Unit : 4);
    DeviceType->setCurrentIndex(s.DevType >= 0 && s.DevType <= 10 ? s.DevType : 0);
    Active->setCurrentIndex(s.ResetActive >= 0 && s.ResetActive <= 2 ? s.ResetActive : 2);
    Inactive->setCurrentIndex(s.ResetInactive >= 0 && s.ResetInactive <= 2 ? s.ResetInactive : 2);
    PulseWidth->setText(QString::number(s.ResetPulseWidth));
    for (int i = 0; i < 3; ++i) Folding[i]->setChecked(i == s.FoldingMode);
    AutoReset->setChecked(s.AutoReset != 0);
}

void frmSetupDevice::EnableControls() {
    // The virtual unit has no reset line and no folding hardware.
    const bool real = Unit->currentIndex() != 4;
    for (QWidget* w : {static_cast<QWidget*>(Active), static_cast<QWidget*>(Inactive),
                       static_cast<QWidget*>(PulseWidth), static_cast<QWidget*>(AutoReset)})
        w->setEnabled(real);
    for (QRadioButton* b : Folding) b->setEnabled(real);
    ApplyButton->setEnabled(DeviceType->currentIndex() != 0);
}

bool frmSetupDevice::ValidatePulseWidth() {
    bool ok = false;
    const double v = PulseWidth->text().trimmed().toDouble(&ok);
    if (ok && v >= 1 && v <= 10000) return true;
    MsgBox("Please specify a Pulse Width between 1 and 10000", BoxIcon::Exclamation, BoxButtons::Ok,
           " Pelmo Device Setup");
    PulseWidth->setFocus();
    PulseWidth->selectAll();
    return false;
}

void frmSetupDevice::ApplySettings() {
    UnitSettingsRecord& s = UnitSettings;
    if (DeviceType->currentIndex() == 0) {
        MsgBox("Please select an Emulation Device Type", BoxIcon::Exclamation, BoxButtons::Ok,
               " Pelmo Error -- Setup Device");
        return;
    }
    s.Unit = Unit->currentIndex();
    s.DevType = DeviceType->currentIndex();
    SetStatus("");
    s.ResetActive = Active->currentIndex();
    s.ResetInactive = Inactive->currentIndex();
    s.ResetPulseWidth = DecimalValue(PulseWidth->text());
    for (int i = 0; i < 3; ++i) {
        if (Folding[i]->isChecked()) {
            s.FoldingMode = i;
            break;
        }
    }
    s.AutoReset = AutoReset->isChecked() ? 1 : 0;
    OpenUnit("Device Setup");
    DeviceType->setCurrentIndex(s.DevType);
}

void frmSetupDevice::Test() {
    ApplySettings();
    EnableControls();
}

void frmSetupDevice::Done() {
    if (PulseWidth->isEnabled() && !ValidatePulseWidth()) return;
    ApplySettings();
    EnableControls();
    if (ApplyButton->isEnabled()) accept();
}

void frmSetupDevice::UnitChosen(int index) {
    UnitSettingsRecord& s = UnitSettings;
    if (index == s.Unit) return;
    modReg::SaveUnitSettings();
    if (modReg::UnitHasSettings(index)) {
        const int answer = MsgBox(
            "Previous Settings Exist for Selected Unit\rDo you want to use them now?\r"
            "THIS OPERATION IS NOT REVERSABLE\rAll Current Settings Will Be Lost",
            BoxIcon::Question, BoxButtons::YesNo, " Pelmo Device Setup", No);
        if (answer == Yes) {
            modReg::LoadUnitSettings(index);
            FillFromRecord();
        }
    }
    s.Unit = index;
    modReg::SectionName = "Settings" + QString::number(index);
    Unit->setCurrentIndex(index);
    EnableControls();
}
