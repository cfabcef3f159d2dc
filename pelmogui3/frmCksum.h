// The checksum setup dialog.
#pragma once

#include "pelmogui3/setupform.h"

class frmCksum : public SetupForm {
    Q_OBJECT
public:
    explicit frmCksum(QWidget* parent);

    QLineEdit* CksumStart = nullptr;
    QLineEdit* CksumLength = nullptr;

protected:
    void StoreFields() override;
    void Now() override;
    void Done() override;
};
