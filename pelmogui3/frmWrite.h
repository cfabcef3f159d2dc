// The write file setup dialog.
#pragma once

#include "pelmogui3/setupform.h"

class QCheckBox;
class QComboBox;

class frmWrite : public SetupForm {
    Q_OBJECT
public:
    explicit frmWrite(QWidget* parent);

    QLineEdit* WriteFileFile = nullptr;
    QPushButton* WriteFileBrowse = nullptr;
    QComboBox* WriteFileFormat = nullptr;
    QLineEdit* WriteFileStart = nullptr;
    QLineEdit* WriteFileLength = nullptr;
    QLineEdit* WriteFileTarget = nullptr;
    QLineEdit* WriteFileFill = nullptr;
    QLineEdit* WriteFileRecord = nullptr;
    QLineEdit* WriteFileEntry = nullptr;
    QLineEdit* WriteFileSignonText = nullptr;
    QCheckBox* WriteFileEOFOption = nullptr;
    QCheckBox* WriteFileAppendOverOption[2] = {};

protected:
    void StoreFields() override;
    void Now() override;
    void Done() override;

private:
    void EnableControls();

    QLabel* targetLabel_ = nullptr;
    QLabel* fillLabel_ = nullptr;
    QLabel* recordLabel_ = nullptr;
    QLabel* entryLabel_ = nullptr;
    QLabel* signonLabel_ = nullptr;
};
