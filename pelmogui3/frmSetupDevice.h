// The device setup dialog: unit, EPROM type, folding and reset set-up, tested
// by opening the unit with them.
#pragma once

#include <QDialog>

class FieldGuard;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

class frmSetupDevice : public QDialog {
    Q_OBJECT
public:
    explicit frmSetupDevice(QWidget* parent);
    ~frmSetupDevice() override;

    QComboBox* DeviceType = nullptr;
    QComboBox* Unit = nullptr;
    QComboBox* Active = nullptr;
    QComboBox* Inactive = nullptr;
    QLineEdit* PulseWidth = nullptr;
    QRadioButton* Folding[3] = {};
    QCheckBox* AutoReset = nullptr;
    QPushButton* ApplyButton = nullptr;
    QPushButton* DoneButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* HelpButton = nullptr;
    QLabel* Label1 = nullptr;
    QGroupBox* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* LoadFileUnitLabel = nullptr;

    // The pulse width check: true when valid, else the message box.
    bool ValidatePulseWidth();

private:
    void FillFromRecord();
    void EnableControls();
    void ApplySettings();
    void Test();
    void Done();
    void UnitChosen(int index);

    FieldGuard* guard_ = nullptr;
};
