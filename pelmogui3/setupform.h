// What the four operation setup dialogs share: the field kinds with their checks
// and messages, the check when a field is left, and the button row.
#pragma once

#include <QDialog>
#include <QList>
#include <QString>
#include <functional>

class QAbstractButton;
class QLabel;
class QLineEdit;
class QPushButton;
class QGridLayout;
class FieldGuard;

enum class FieldKind {
    Start,
    LoadTarget,
    Length,
    FillByte,
    OptionalTarget,
    OptionalEntry,
    OptionalFill,
    RecordLength,
    Text
};

class SetupForm : public QDialog {
    Q_OBJECT
public:
    // Checks one field by its kind: blank takes its blank meaning, a valid entry
    // is rewritten in its shown form, an invalid one raises the message and keeps
    // the focus. True when valid.
    bool CheckField(QLineEdit* field);
    ~SetupForm() override;

    QPushButton* NowButton = nullptr;
    QPushButton* DoneButton = nullptr;
    QPushButton* CancelButton = nullptr;
    QPushButton* HelpButton = nullptr;

    // A field's text in the forms dialogs show numbers in.
    static QString Hex(int32_t v);
    static QString LengthText(int32_t v);

protected:
    // subject: "Load" etc.; allLine: the second line of the length message.
    SetupForm(QWidget* parent, const char* name, const QString& caption, const QString& subject, const QString& allLine,
              const QString& helpTopic);
    QLineEdit* AddField(const char* name, const char* labelName, const QString& label, FieldKind kind,
                        QGridLayout* grid, int row, QLabel** labelOut = nullptr);
    // The button row; Now, Done and Cancel call the virtuals below.
    void AddButtons(QGridLayout* grid, int row, int columns, const QString& nowCaption);
    // Runs the checks of the fields in order; false at the first that fails.
    bool CheckFields(const QList<QLineEdit*>& order);
    // Tab order: the given controls top to bottom (fields first, then check and
    // option boxes), then the buttons; the focus opens in the first of them.
    void SetTabOrder(const QList<QWidget*>& controls);
    // A button of the dialog that acts only after the field being left passes.
    void GuardButton(QAbstractButton* button, std::function<void()> action);
    virtual void StoreFields() = 0;
    virtual void Now() = 0;
    virtual void Done() = 0;

private:
    FieldKind KindOf(QLineEdit* field) const;

    QString title_;
    QString allLine_;
    QList<QPair<QLineEdit*, FieldKind>> fields_;
    FieldGuard* guard_ = nullptr;
};
