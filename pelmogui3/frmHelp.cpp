#include "pelmogui3/frmHelp.h"

#include <QFileInfo>
#include <QPointer>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "pelmogui3/modMain.h"

namespace {
QPointer<frmHelp> Open;
}

frmHelp::frmHelp(QWidget* owner) : QDialog(owner) {
    setObjectName("frmHelp");
    setWindowTitle("PelmoGui3 Help");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    HelpText = new QTextBrowser(this);
    HelpText->setObjectName("HelpText");
    HelpText->setOpenExternalLinks(true);
    column->addWidget(HelpText);
    resize(560, 480);
}

QString frmHelp::ShowTopic(QWidget* owner, const QString& topic) {
    const QFileInfo file(modMain::HelpFile);
    if (!file.isFile() || !file.isReadable()) return "The help file " + modMain::HelpFile + " cannot be read.";
    if (!Open) Open = new frmHelp(owner);
    QUrl url = QUrl::fromLocalFile(file.absoluteFilePath());
    if (!topic.isEmpty()) url.setFragment(topic);
    Open->HelpText->setSource(url);
    Open->show();
    Open->raise();
    Open->activateWindow();
    return QString();
}

void frmHelp::CloseAll() {
    if (Open) Open->close();
}

frmHelp* frmHelp::Current() { return Open; }
