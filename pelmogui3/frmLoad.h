// The load setup dialog.
#pragma once

#include "pelmogui3/setupform.h"

class QComboBox;
class QRadioButton;

class frmLoad : public SetupForm {
    Q_OBJECT
public:
    explicit frmLoad(QWidget* parent);

    QLineEdit* LoadFileFile = nullptr;
    QPushButton* LoadFileBrowse = nullptr;
    QLineEdit* LoadFileStart = nullptr;
    QLineEdit* LoadFileTarget = nullptr;
    QLineEdit* LoadFileLength = nullptr;
    QComboBox* LoadFileWidth = nullptr;
    QRadioButton* LoadFileLoadOption[3] = {};

protected:
    void StoreFields() override;
    void Now() override;
    void Done() override;

private:
    void CaptionNow();
};
