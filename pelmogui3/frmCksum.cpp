#include "pelmogui3/frmCksum.h"

#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>

#include "pelmogui3/modMain.h"

using namespace modMain;

frmCksum::frmCksum(QWidget* parent)
    : SetupForm(parent, "frmCksum", " Pelmo Checksum Setup", "Checksum",
                "Or the word ALL to indicate Checksuming of the entire device", "checksum") {
    auto* grid = new QGridLayout(this);
    CksumStart = AddField("CksumStart", "CksumStartLabel", "&Start (hex)", FieldKind::Start, grid, 0);
    CksumLength = AddField("CksumLength", "CksumLengthLabel", "&Length (hex)", FieldKind::Length, grid, 1);
    AddButtons(grid, 2, 2, "Checksum &Now");
    NowButton->setObjectName("CksumNow");
    DoneButton->setObjectName("CksumDone");
    CancelButton->setObjectName("CksumCancel");
    HelpButton->setObjectName("CksumHelp");
    CksumStart->setText(Hex(UnitSettings.CksumStart));
    CksumLength->setText(LengthText(UnitSettings.CksumLength));
    SetTabOrder({CksumStart, CksumLength});
}

void frmCksum::StoreFields() {
    UnitSettings.CksumStart = HexValue(CksumStart->text());
    UnitSettings.CksumLength = HexValue(CksumLength->text());
}

void frmCksum::Now() {
    StoreFields();
    RunChecksum("Setup Checksum", true);
}

void frmCksum::Done() {
    if (!CheckFields({CksumStart, CksumLength})) return;
    StoreFields();
    accept();
}
