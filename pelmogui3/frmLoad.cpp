#include "pelmogui3/frmLoad.h"

#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "pelmogui3/modMain.h"

using namespace modMain;

namespace {
const char* const ImageFilter =
    "Binary Files (*.bin);;Intel Hex Files (*.hex);;Motorola S Files (*.s19 *.s28 *.s37);;"
    "ELF Executables (*.elf);;Loadable Files (*.bin *.hex *.s19 *.s28 *.s37 *.elf);;All Files (*)";
}

frmLoad::frmLoad(QWidget* parent)
    : SetupForm(parent, "frmLoad", " Pelmo Load Setup", "Load",
                "Or the word ALL to indicate Loading of the entire file", "load") {
    auto* grid = new QGridLayout(this);
    LoadFileFile = AddField("LoadFileFile", "LoadFileFileLabel", "&File to Load From", FieldKind::Text, grid, 0);
    LoadFileFile->setMinimumWidth(fontMetrics().horizontalAdvance(QString(40, 'x')));
    LoadFileBrowse = new QPushButton("&Browse...", this);
    LoadFileBrowse->setObjectName("LoadFileBrowse");
    LoadFileBrowse->setAutoDefault(false);
    grid->addWidget(LoadFileBrowse, 0, 2);
    LoadFileStart = AddField("LoadFileStart", "LoadFileStartLabel", "&Start (hex)", FieldKind::Start, grid, 1);
    LoadFileTarget = AddField("LoadFileTarget", "LoadFileTargetLabel", "&Target (hex)", FieldKind::LoadTarget, grid, 2);
    LoadFileLength = AddField("LoadFileLength", "LoadFileLengthLabel", "&Length (hex)", FieldKind::Length, grid, 3);
    LoadFileWidth = new QComboBox(this);
    LoadFileWidth->setObjectName("LoadFileWidth");
    LoadFileWidth->addItems(
        {"Byte", "Other Byte", "3rd Byte", "4th Byte", "5th Byte", "6th Byte", "7th Byte", "8th Byte"});
    auto* widthLabel = new QLabel("Use &Every...", this);
    widthLabel->setObjectName("LoadFileWidthLabel");
    widthLabel->setBuddy(LoadFileWidth);
    grid->addWidget(widthLabel, 4, 0);
    grid->addWidget(LoadFileWidth, 4, 1);
    auto* options = new QGroupBox(this);
    auto* column = new QVBoxLayout(options);
    const char* captions[3] = {"Load &Only", "Load && Verif&y", "&Verify Only"};
    for (int i = 0; i < 3; ++i) {
        LoadFileLoadOption[i] = new QRadioButton(captions[i], options);
        LoadFileLoadOption[i]->setObjectName(QString("LoadFileLoadOption%1").arg(i));
        column->addWidget(LoadFileLoadOption[i]);
        connect(LoadFileLoadOption[i], &QRadioButton::toggled, this, [this] { CaptionNow(); });
    }
    grid->addWidget(options, 1, 2, 4, 1);
    AddButtons(grid, 5, 3, "Load &Now");
    NowButton->setObjectName("LoadFileNow");
    DoneButton->setObjectName("LoadFileDone");
    CancelButton->setObjectName("LoadFileCancel");
    HelpButton->setObjectName("LoadFileHelp");

    const UnitSettingsRecord& s = UnitSettings;
    LoadFileFile->setText(s.LoadFile.trimmed());
    LoadFileStart->setText(Hex(s.LoadStart));
    LoadFileTarget->setText(Hex(s.LoadTarget));
    LoadFileLength->setText(LengthText(s.LoadLength));
    LoadFileWidth->setCurrentIndex(std::clamp(s.LoadWidth, 1, 8) - 1);
    LoadFileLoadOption[std::clamp(s.LoadMode, 0, 2)]->setChecked(true);
    CaptionNow();
    NowButton->setEnabled(!LoadFileFile->text().isEmpty());
    connect(LoadFileFile, &QLineEdit::textChanged, this,
            [this](const QString& t) { NowButton->setEnabled(!t.isEmpty()); });
    GuardButton(LoadFileBrowse, [this] {
        const QString name =
            QFileDialog::getOpenFileName(this, "Choose Load File", LoadFileFile->text(), ImageFilter).trimmed();
        if (!name.isEmpty()) LoadFileFile->setText(name);
    });
    SetTabOrder({LoadFileFile, LoadFileStart, LoadFileTarget, LoadFileLength, LoadFileWidth, LoadFileLoadOption[0],
                 LoadFileLoadOption[1], LoadFileLoadOption[2], LoadFileBrowse});
}

void frmLoad::CaptionNow() { NowButton->setText(LoadFileLoadOption[2]->isChecked() ? "Verify &Now" : "Load &Now"); }

void frmLoad::StoreFields() {
    UnitSettingsRecord& s = UnitSettings;
    const QString file = LoadFileFile->text().trimmed();
    if (file != s.LoadFile) {
        s.LoadFile = file;
        s.FileLoaded = false;
        SetStatus("");
    }
    s.LoadStart = HexValue(LoadFileStart->text());
    s.LoadTarget = HexValue(LoadFileTarget->text());
    s.LoadLength = HexValue(LoadFileLength->text());
    s.LoadWidth = LoadFileWidth->currentIndex() + 1;
    for (int i = 0; i < 3; ++i) {
        if (LoadFileLoadOption[i]->isChecked()) {
            s.LoadMode = i;
            break;
        }
    }
}

void frmLoad::Now() {
    StoreFields();
    if (!UnitSettings.LoadFile.isEmpty()) {
        RunLoad("Setup Load", true);
    } else {
        MsgBox("Please enter a File Name or click BROWSE", BoxIcon::Exclamation, BoxButtons::Ok,
               " Pelmo Error -- Setup Load");
        LoadFileFile->setFocus();
    }
}

void frmLoad::Done() {
    if (!CheckFields({LoadFileStart, LoadFileTarget, LoadFileLength})) return;
    StoreFields();
    accept();
}
