// The fill setup dialog.
#pragma once

#include "pelmogui3/setupform.h"

class QRadioButton;

class frmFill : public SetupForm {
    Q_OBJECT
public:
    explicit frmFill(QWidget* parent);

    QLineEdit* FillValue = nullptr;
    QLineEdit* FillStart = nullptr;
    QLineEdit* FillLength = nullptr;
    QRadioButton* FillMode[3] = {};

protected:
    void StoreFields() override;
    void Now() override;
    void Done() override;

private:
    void CaptionNow();
};
