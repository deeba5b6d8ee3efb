#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QWidget>

namespace hoplin::windows {

// A top-level window that closing only hides, with a fixed content size unless `resizable`.
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

protected:
    WindowController();
    virtual QWidget *build() = 0;

private:
    QPointer<QWidget> m_window;
};

} // namespace hoplin::windows
