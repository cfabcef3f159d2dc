#include "pelmogui3/fieldguard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>

FieldGuard::FieldGuard(QDialog* dialog, std::function<bool(QLineEdit*)> check)
    : QObject(dialog), dialog_(dialog), check_(std::move(check)) {
    connect(qApp, &QApplication::focusChanged, this, &FieldGuard::FocusMoved);
}

// The dialog's children give up the focus as they are destroyed: the guard
// must not check them by then.
FieldGuard::~FieldGuard() { disconnect(qApp, nullptr, this, nullptr); }

void FieldGuard::AddField(QLineEdit* field) { fields_.append(field); }

void FieldGuard::Exempt(QAbstractButton* button) { exempt_.append(button); }

void FieldGuard::Connect(QAbstractButton* button, std::function<void()> action) {
    buttons_.append(button);
    button->installEventFilter(this);
    connect(button, &QAbstractButton::clicked, this, [this, action = std::move(action)] {
        if (Pass()) action();
    });
}

QLineEdit* FieldGuard::FocusedField() const {
    auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    return field && fields_.contains(field) && field->isEnabled() ? field : nullptr;
}

bool FieldGuard::Check(QLineEdit* field) {
    checking_ = true;
    const bool ok = check_(field);
    checking_ = false;
    if (ok) {
        if (refused_ == field) refused_ = nullptr;
        return true;
    }
    refused_ = field;
    // A press that the message interrupted never gets its release.
    for (QAbstractButton* b : buttons_)
        if (b->isDown()) b->setDown(false);
    return false;
}

bool FieldGuard::Pass() {
    QLineEdit* focused = FocusedField();
    if (focused && !Check(focused)) return false;
    for (QLineEdit* field : fields_)
        if (field != focused && field->isEnabled() && !Check(field)) return false;
    return true;
}

bool FieldGuard::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Shortcut:
        // An access key clicks without the focus having left the field.
        if (!Pass()) return true;
        break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        // The press moved the focus first, which checked the field; a field
        // that still has the focus was refused, and the press must not go on
        // to become a click.
        QLineEdit* field = FocusedField();
        if (field && (refused_ == field || !Check(field))) return true;
        break;
    }
    default: break;
    }
    return QObject::eventFilter(watched, event);
}

void FieldGuard::FocusMoved(QWidget* from, QWidget* to) {
    // Leaving a field for an exempt button, or for another window, checks nothing.
    if (checking_ || !to || to->window() != dialog_) return;
    auto* field = qobject_cast<QLineEdit*>(from);
    if (!field || !fields_.contains(field) || !field->isEnabled() || field->window() != dialog_) return;
    for (QAbstractButton* b : exempt_)
        if (to == b) return;
    Check(field);
}
