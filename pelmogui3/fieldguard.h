// Runs a dialog's field checks before any of its buttons acts, whichever way
// the button is pressed: a click, its access key, Enter on the default button,
// Space on a focused button or a command that clicks it. A field is checked as
// the focus leaves it; a button that acts while a field still has the focus
// checks that field first, and a refused field keeps the focus.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <functional>

class QAbstractButton;
class QDialog;
class QLineEdit;
class QWidget;

class FieldGuard : public QObject {
    Q_OBJECT
public:
    // check: one field's check; it shows the message, puts the focus back in the
    // field and returns false when the field is refused.
    FieldGuard(QDialog* dialog, std::function<bool(QLineEdit*)> check);
    ~FieldGuard() override;

    void AddField(QLineEdit* field);
    // The button's action runs only when the field being left passes.
    void Connect(QAbstractButton* button, std::function<void()> action);
    // Leaving a field for this button (Cancel) checks nothing.
    void Exempt(QAbstractButton* button);
    // Checks the field that has the focus, if it is one of ours; true when it
    // passes or no field of ours has the focus.
    bool Pass();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* FocusedField() const;
    bool Check(QLineEdit* field);
    void FocusMoved(QWidget* from, QWidget* to);

    QDialog* dialog_;
    std::function<bool(QLineEdit*)> check_;
    QList<QLineEdit*> fields_;
    QList<QAbstractButton*> buttons_;
    QList<QAbstractButton*> exempt_;
    QPointer<QLineEdit> refused_;
    bool checking_ = false;
};
