// Runs a dialog's field checks before any of its buttons acts, whichever way
// the button is pressed: a click, its access key, Enter on the default button,
// Space on a focused button or a command that clicks it. A field is checked as
// the focus leaves it; and every guarded button, before it acts, checks the
// field that has the focus and then every other field, so that no order of
// focus changes (a press on Cancel released off it leaves the focus on Cancel
// with nothing checked) lets a button act on unchecked text. A refused field
// gets the focus.
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
    // The button's action runs only when every enabled field passes.
    void Connect(QAbstractButton* button, std::function<void()> action);
    // Leaving a field for this button (Cancel) checks nothing.
    void Exempt(QAbstractButton* button);
    // Checks the field that has the focus, if it is one of ours, then the other
    // enabled fields in the order they were added; true when all pass, false at
    // the first refused one (its message shown, the focus in it).
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
