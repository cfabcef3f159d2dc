#include "tests/pelmogui3/gui_fixture.h"

#include <QApplication>
#include <QProcess>
#include <QPushButton>

namespace guitest {

QString TracePath() { return QString::fromLocal8Bit(qgetenv("emucoredebug")); }

bool Shell(const QString& command, QString* output) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("/bin/sh", {"-c", command});
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    if (output) *output = QString::fromLocal8Bit(p.readAll());
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void GuiFixture::Reset() {
    Drop();
    dir_ = std::make_unique<QTemporaryDir>();
    modReg::SetStoreFolder(dir_->path());
    modReg::SectionName = "Settings4";
    modMain::UnitSettings = UnitSettingsRecord{};
    modMain::CurrentStatus.clear();
    modMain::StartMaximized = false;
    modMain::ViewOpen = false;
    modMain::BeepCount = 0;
    modMain::OpenedUnit = -1;
    modMain::CloseWhenIdle = false;
    modMain::SetWorkerHook(nullptr);
    modMain::HelpFile.clear();
    boxes_.clear();
    answers.clear();
    modMain::SetBoxHandler([this](const BoxRecord& box) {
        boxes_.push_back(box);
        if (box.buttons == modMain::BoxButtons::YesNo && !answers.empty()) {
            const int a = answers.front();
            answers.pop_front();
            return a;
        }
        return box.defaultAnswer;
    });
    QFile trace(TracePath());
    traceOffset_ = trace.exists() ? trace.size() : 0;
    dialogs_.clear();
    onDeviceSetup = [](frmSetupDevice* d) { d->CancelButton->click(); };
    onDialog = nullptr;
    // Modal dialogs run their own event loop: answer them from a timer.
    modalWatch_.disconnect();
    QObject::connect(&modalWatch_, &QTimer::timeout, [this] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == handled_) return;
        handled_ = modal;
        dialogs_ << modal->objectName();
        if (auto* device = qobject_cast<frmSetupDevice*>(modal)) onDeviceSetup(device);
        else if (onDialog) onDialog(modal);
        else modal->close();
    });
    modalWatch_.start(10);
}

void GuiFixture::Drop() {
    if (main_) {
        // Leave the windows without the shutdown's storing: each test checks
        // shutdown only where it closes the window itself.
        main_->hide();
        main_.reset();
    }
    modMain::CloseView();
}

void GuiFixture::Stored(int unit, const QString& key, const QString& value) {
    modReg::Store().setValue("Settings" + QString::number(unit) + "/" + key, value);
}

QString GuiFixture::StoredText(int unit, const QString& key) {
    modReg::Sync(nullptr);
    QSettings file(IniPath(), QSettings::IniFormat);
    return file.value("Settings" + QString::number(unit) + "/" + key, "<missing>").toString();
}

frmMain* GuiFixture::Start() {
    main_ = std::make_unique<frmMain>();
    main_->Load();
    if (!main_->isVisible()) main_->show();
    if (!QTest::qWaitForWindowExposed(main_.get())) qWarning("main window not exposed");
    return main_.get();
}

void GuiFixture::CloseMain() {
    main_->close();
    main_.reset();
}

std::vector<BoxRecord> GuiFixture::TakeBoxes() {
    std::vector<BoxRecord> out;
    out.swap(boxes_);
    return out;
}

QStringList GuiFixture::TakeDialogs() {
    QStringList out;
    out.swap(dialogs_);
    return out;
}

QString GuiFixture::TakeOpened() {
    const QStringList dialogs = TakeDialogs();
    const auto boxes = TakeBoxes();
    if (dialogs.size() + boxes.size() != 1)
        return QString("%1 dialogs, %2 boxes").arg(dialogs.size()).arg(boxes.size());
    return dialogs.isEmpty() ? boxes[0].title : dialogs[0];
}

QStringList GuiFixture::TakeTrace() {
    QFile trace(TracePath());
    if (!trace.open(QIODevice::ReadOnly)) return {};
    trace.seek(traceOffset_);
    const QByteArray bytes = trace.readAll();
    traceOffset_ += bytes.size();
    return QString::fromLatin1(bytes).split('\n', Qt::SkipEmptyParts);
}

QString GuiFixture::Panel(int bar, int index) {
    return (bar == 1 ? main_->sbStatusBar : main_->sbStatusBar2)->panel(index)->text();
}

bool GuiFixture::PanelEnabled(int bar, int index) {
    return (bar == 1 ? main_->sbStatusBar : main_->sbStatusBar2)->panel(index)->panelEnabled();
}

}  // namespace guitest
