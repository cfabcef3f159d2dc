#include "pelmogui3/frmWrite.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "pelmogui3/modMain.h"

using namespace modMain;

frmWrite::frmWrite(QWidget* parent)
    : SetupForm(parent, "frmWrite", " Pelmo Write File Setup", "Write",
                "Or the word ALL to indicate Writing of the entire file", "write") {
    auto* grid = new QGridLayout(this);
    WriteFileFile = AddField("WriteFileFile", "LoadFileFileLabel", "File to &Write to", FieldKind::Text, grid, 0);
    WriteFileFile->setMinimumWidth(fontMetrics().horizontalAdvance(QString(40, 'x')));
    WriteFileBrowse = new QPushButton("&Browse...", this);
    WriteFileBrowse->setObjectName("WriteFileBrowse");
    WriteFileBrowse->setAutoDefault(false);
    grid->addWidget(WriteFileBrowse, 0, 2);
    WriteFileFormat = new QComboBox(this);
    WriteFileFormat->setObjectName("WriteFileFormat");
    WriteFileFormat->addItems(
        {"Binary", "Intel Hex", "Intel Hex-32", "Motorola S (auto)", "Motorola S28", "Motorola S37"});
    auto* formatLabel = new QLabel("&Format", this);
    formatLabel->setObjectName("WriteFileFormatLabel");
    formatLabel->setBuddy(WriteFileFormat);
    grid->addWidget(formatLabel, 1, 0);
    grid->addWidget(WriteFileFormat, 1, 1);
    WriteFileStart = AddField("WriteFileStart", "WriteFileStartLabel", "&Start (hex)", FieldKind::Start, grid, 2);
    WriteFileLength = AddField("WriteFileLength", "WriteFileLengthLabel", "&Length (hex)", FieldKind::Length, grid, 3);
    WriteFileTarget = AddField("WriteFileTarget", "WriteFileTargetLabel", "&Target (hex)", FieldKind::OptionalTarget,
                               grid, 4, &targetLabel_);
    WriteFileFill =
        AddField("WriteFileFill", "WriteFileFillLabel", "Fill (&hex)", FieldKind::OptionalFill, grid, 5, &fillLabel_);
    WriteFileRecord = AddField("WriteFileRecord", "WriteFileRecordLabel", "&Record Length (dec)",
                               FieldKind::RecordLength, grid, 6, &recordLabel_);
    WriteFileEntry = AddField("WriteFileEntry", "WriteFileEntryLabel", "&Entry Point (hex)", FieldKind::OptionalEntry,
                              grid, 7, &entryLabel_);
    WriteFileSignonText = AddField("WriteFileSignonText", "WriteFileSignonTextLabel", "Sign On Te&xt", FieldKind::Text,
                                   grid, 8, &signonLabel_);
    WriteFileEOFOption = new QCheckBox("&Include EOF Record", this);
    WriteFileEOFOption->setObjectName("WriteFileEOFOption");
    const char* options[2] = {"&Append to Existing File", "&Overwrite Existing File"};
    for (int i = 0; i < 2; ++i) {
        WriteFileAppendOverOption[i] = new QCheckBox(options[i], this);
        WriteFileAppendOverOption[i]->setObjectName(QString("WriteFileAppendOverOption%1").arg(i));
    }
    grid->addWidget(WriteFileEOFOption, 2, 2);
    grid->addWidget(WriteFileAppendOverOption[0], 3, 2);
    grid->addWidget(WriteFileAppendOverOption[1], 4, 2);
    AddButtons(grid, 9, 3, "Write &Now");
    NowButton->setObjectName("WriteFileNow");
    DoneButton->setObjectName("WriteFileDone");
    CancelButton->setObjectName("WriteFileCancel");
    HelpButton->setObjectName("WriteFileHelp");

    const UnitSettingsRecord& s = UnitSettings;
    WriteFileFormat->setCurrentIndex(s.WriteFormat >= 0 && s.WriteFormat <= 5 ? s.WriteFormat : -1);
    WriteFileEOFOption->setChecked(s.WriteEOFOption != 0);
    WriteFileAppendOverOption[0]->setChecked(s.WriteAppendOverOption == 1);
    WriteFileAppendOverOption[1]->setChecked(s.WriteAppendOverOption == 2);
    WriteFileFile->setText(s.WriteFile.trimmed());
    WriteFileStart->setText(Hex(s.WriteStart));
    WriteFileLength->setText(LengthText(s.WriteLength));
    WriteFileTarget->setText(s.WriteTargetOption ? Hex(s.WriteTarget) : QString());
    WriteFileFill->setText(s.WriteFillValue == 256 ? QString() : Hex(s.WriteFillValue).rightJustified(2, '0'));
    WriteFileRecord->setText(QString::number(s.WriteRecordLen));
    WriteFileEntry->setText(s.WriteEntryOption ? Hex(s.WriteEntryAddress) : QString());
    WriteFileSignonText->setText(s.WriteSignon.trimmed());
    EnableControls();

    connect(WriteFileFormat, &QComboBox::activated, this, [this](int) { EnableControls(); });
    connect(WriteFileEOFOption, &QCheckBox::clicked, this, [this] { EnableControls(); });
    connect(WriteFileFile, &QLineEdit::textChanged, this, [this] { EnableControls(); });
    // At most one of append and overwrite: ticking one clears the other.
    for (int i = 0; i < 2; ++i)
        connect(WriteFileAppendOverOption[i], &QCheckBox::clicked, this, [this, i](bool on) {
            if (on) WriteFileAppendOverOption[1 - i]->setChecked(false);
        });
    GuardButton(WriteFileBrowse, [this] {
        const QString name = QFileDialog::getSaveFileName(
                                 this, "Choose File to Write", WriteFileFile->text(),
                                 "Binary Files (*.bin);;Intel Hex Files (*.hex);;Motorola S Files (*.s19 *.s28 *.s37);;"
                                 "Loadable Files (*.bin *.hex *.s19 *.s28 *.s37);;All Files (*)")
                                 .trimmed();
        if (!name.isEmpty()) WriteFileFile->setText(name);
    });
    SetTabOrder({WriteFileFile, WriteFileFormat, WriteFileStart, WriteFileLength, WriteFileTarget, WriteFileFill,
                 WriteFileRecord, WriteFileEntry, WriteFileSignonText, WriteFileEOFOption, WriteFileAppendOverOption[0],
                 WriteFileAppendOverOption[1], WriteFileBrowse});
}

void frmWrite::EnableControls() {
    const int format = WriteFileFormat->currentIndex();
    const bool records = format >= 1 && format <= 5;
    const bool motorola = format >= 3 && format <= 5;
    WriteFileEOFOption->setEnabled(records);
    for (QWidget* w : {static_cast<QWidget*>(WriteFileTarget), static_cast<QWidget*>(targetLabel_),
                       static_cast<QWidget*>(WriteFileFill), static_cast<QWidget*>(fillLabel_),
                       static_cast<QWidget*>(WriteFileRecord), static_cast<QWidget*>(recordLabel_)})
        w->setEnabled(records);
    const bool entry = records && (!motorola || WriteFileEOFOption->isChecked());
    WriteFileEntry->setEnabled(entry);
    entryLabel_->setEnabled(entry);
    WriteFileSignonText->setEnabled(motorola);
    signonLabel_->setEnabled(motorola);
    NowButton->setEnabled(!WriteFileFile->text().trimmed().isEmpty());
}

void frmWrite::StoreFields() {
    UnitSettingsRecord& s = UnitSettings;
    s.WriteFormat = WriteFileFormat->currentIndex() >= 0 ? WriteFileFormat->currentIndex() : 0;
    s.WriteEOFOption = WriteFileEOFOption->isChecked() ? 1 : 0;
    s.WriteAppendOverOption = 0;
    if (WriteFileAppendOverOption[0]->isChecked()) s.WriteAppendOverOption = 1;
    if (WriteFileAppendOverOption[1]->isChecked()) s.WriteAppendOverOption = 2;
    s.WriteFile = WriteFileFile->text().trimmed();
    s.WriteStart = HexValue(WriteFileStart->text());
    s.WriteLength = HexValue(WriteFileLength->text());
    const QString target = WriteFileTarget->text().trimmed();
    s.WriteTargetOption = target.isEmpty() ? 0 : 1;
    s.WriteTarget = HexValue(target);
    const QString fill = WriteFileFill->text().trimmed();
    s.WriteFillValue = fill.isEmpty() ? 256 : HexValue(fill);
    s.WriteRecordLen = DecimalValue(WriteFileRecord->text());
    const QString entry = WriteFileEntry->text().trimmed();
    s.WriteEntryOption = entry.isEmpty() ? 0 : 1;
    s.WriteEntryAddress = HexValue(entry);
    s.WriteSignon = WriteFileSignonText->text().trimmed();
    EnableControls();
}

void frmWrite::Now() {
    StoreFields();
    if (!UnitSettings.WriteFile.isEmpty()) {
        RunWrite("Setup Write", true);
    } else {
        MsgBox("Please enter a File Name or click BROWSE", BoxIcon::Exclamation, BoxButtons::Ok,
               " Pelmo Error -- Setup Write");
        WriteFileFile->setFocus();
    }
}

void frmWrite::Done() {
    if (!CheckFields({WriteFileStart, WriteFileLength, WriteFileTarget, WriteFileFill, WriteFileRecord, WriteFileEntry,
                      WriteFileSignonText}))
        return;
    StoreFields();
    accept();
}
