#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QString>
#include <QWidget>

// Reaching the program's widgets with Qt Widgets alone: by object name, the text a control shows,
// the message boxes on screen. Inline, so that the measuring probe can use it inside the running
// panel without linking anything of the tests.

// The first widget of the program named `name` that is a T, or null.
template <typename T = QWidget> T *widgetNamed(const QString &name)
{
    for (QWidget *w : QApplication::allWidgets()) {
        if (w->objectName() != name)
            continue;
        if (auto *found = qobject_cast<T *>(w))
            return found;
    }
    return nullptr;
}

// The text a control shows: a label's text, a group box's title, a button's caption, the text in an
// edit box. Empty for anything else.
inline QString shownText(const QObject *w)
{
    if (auto *label = qobject_cast<const QLabel *>(w))
        return label->text();
    if (auto *group = qobject_cast<const QGroupBox *>(w))
        return group->title();
    if (auto *button = qobject_cast<const QAbstractButton *>(w))
        return button->text();
    if (auto *edit = qobject_cast<const QLineEdit *>(w))
        return edit->text();
    if (auto *plain = qobject_cast<const QPlainTextEdit *>(w))
        return plain->toPlainText();
    return {};
}

// The message boxes on screen: all of them, or those named `objectName`.
inline QList<QMessageBox *> shownMessageBoxes(const QString &objectName = {})
{
    QList<QMessageBox *> boxes;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(w);
        if (box && box->isVisible() && (objectName.isEmpty() || box->objectName() == objectName))
            boxes << box;
    }
    return boxes;
}

// Presses OK on every message box on screen named `objectName`, as the operator does.
inline void acknowledgeMessageBoxes(const QString &objectName)
{
    for (QMessageBox *box : shownMessageBoxes(objectName)) {
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
    }
}

// Deletes every message box of the program, shown or not: what a test leaves behind it.
inline void discardMessageBoxes()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMessageBox *>(w))
            delete w;
    }
}
