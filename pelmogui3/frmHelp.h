// The help window: the application's own help file, one topic per window and
// dialog, shown beside the window that asked for it.
#pragma once

#include <QDialog>
#include <QString>

class QTextBrowser;

class frmHelp : public QDialog {
    Q_OBJECT
public:
    // Shows the help file (modMain::HelpFile) at the topic (an anchor; empty for
    // the contents). Returns an error text when the file cannot be shown.
    static QString ShowTopic(QWidget* owner, const QString& topic);
    // Closes the help window if one is open.
    static void CloseAll();
    static frmHelp* Current();

    QTextBrowser* HelpText = nullptr;

private:
    explicit frmHelp(QWidget* owner);
};
