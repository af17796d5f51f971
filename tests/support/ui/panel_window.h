#pragma once

#include "support/test_env.h"
#include "support/ui/widgets.h"
#include "ui/form1.h"

#include <QFlags>
#include <QMap>
#include <QObject>
#include <memory>

// The main window under test, on the test's settings store, started as the program starts it. One
// window at a time: the next start, or reset(), ends the one before. Reached like a pointer to Form1.
class PanelWindow
{
public:
    enum Option {
        ManualTicks = 0x1, // Timer1 is stopped before start-up: the test drives the ticks itself
        LinkOpen = 0x2, // start-up must leave the link open, or the test fails
        InFront = 0x4, // the window is made the active one, and the test waits until it is
    };
    Q_DECLARE_FLAGS(Options, Option)

    explicit PanelWindow(TestStoreHome &home)
        : m_home(home)
    {
    }

    // Ends the window there is, puts a store of `storeText` in place of whatever was there, and
    // starts a window on it.
    void start(const QByteArray &storeText, Options options = {});
    // A window as created, without the start-up sequence, on the store as it is.
    Form1 &create();
    // Makes the window the active one and waits until it is; false if it did not become so.
    bool activate();
    void reset() { m_form.reset(); }

    Form1 *get() const { return m_form.get(); }
    Form1 *operator->() const { return m_form.get(); }
    Form1 &operator*() const { return *m_form; }
    explicit operator bool() const { return bool(m_form); }

    // The window's control named `name` that is a T, or null (and a warning naming what is missing).
    template <typename T> T *find(const QString &name) const
    {
        T *w = m_form ? m_form->findChild<T *>(name) : nullptr;
        if (!w)
            qWarning("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
        return w;
    }

private:
    TestStoreHome &m_home;
    std::unique_ptr<Form1> m_form;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(PanelWindow::Options)

// The missing-port messages on screen.
QList<QMessageBox *> missingPortBoxes();

// What a test program of the main window starts from: a settings store of its own, set up before
// anything reads one, the window on it, its controls by name and the record as stored. A test class
// derives from it and starts the window on the store its test needs.
class WindowTest : public QObject
{
    Q_OBJECT
protected:
    template <typename T> T *find(const QString &name) const { return m_form.find<T>(name); }
    QMap<QString, QString> storedRecord() const { return m_home.storedRecord(); }
    // For cleanup(): the window goes, and every message box a test left.
    void closeWindow()
    {
        m_form.reset();
        discardMessageBoxes();
    }

    TestStoreHome m_home;
    PanelWindow m_form { m_home };
};
