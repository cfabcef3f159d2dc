#include "pelmogui3/frmAbout.h"

#include <QFont>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "pelmogui3/controls.h"

frmAbout::frmAbout(QWidget* parent) : QDialog(parent) {
    setObjectName("frmAbout");
    setWindowTitle("About PelmoGui3");
    setModal(true);
    auto* grid = new QGridLayout(this);
    auto* picture = new QLabel(this);
    picture->setObjectName("picIcon");
    picture->setPixmap(icons::Application().pixmap(48, 48));
    picture->setAlignment(Qt::AlignTop);
    auto label = [this](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        return l;
    };
    lblTitle = label("lblTitle", "PelmoGui3 EPROM Emulator");
    QFont big = lblTitle->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    lblTitle->setFont(big);
    lblVersion = label("lblVersion", "Version 1.3");
    lblDescription = label("lblDescription", "Application Software for 32-bit Windows Systems");
    lblDisclaimer = label("lblDisclaimer", "FOR USB INTERFACE Pelmo Units Only");
    cmdOK = new QPushButton("OK", this);
    cmdOK->setObjectName("cmdOK");
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(picture, 0, 0, 3, 1);
    grid->addWidget(lblTitle, 0, 1);
    grid->addWidget(lblVersion, 1, 1);
    grid->addWidget(lblDescription, 2, 1);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    grid->addWidget(line, 3, 0, 1, 2);
    grid->addWidget(lblDisclaimer, 4, 0, 1, 2);
    grid->addWidget(cmdOK, 4, 2);
    grid->setColumnStretch(1, 1);
    grid->setSizeConstraint(QLayout::SetFixedSize);
}
