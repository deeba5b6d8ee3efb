#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

namespace hoplin::windows {

// A top-level window that closing (also Escape and Ctrl+W) only hides, with a fixed content size
// and no maximise button unless `resizable`.
QWidget *makeReusableWindow(const QString &title, QSize contentSize, bool resizable);
// Puts `window` in the middle of the screen it is on (the primary one before it is first shown).
void centre(QWidget *window);
// Shows, raises and activates `window`.
void present(QWidget *window);

// Owner of one window that lives for the rest of the process once created. Controllers are made
// once and never freed; their window is deleted when the event loop ends (aboutToQuit), while
// the application can still tear widgets down.
class WindowController : public QObject {
    Q_OBJECT
public:
    // The window, built on first use.
    QWidget *window();
    // Centres the window (again, when it is already showing) and brings it to the front.
    void show();

protected:
    WindowController();
    virtual QWidget *build() = 0;

private:
    QPointer<QWidget> m_window;
};

} // namespace hoplin::windows
