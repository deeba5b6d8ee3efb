#include "ReusableWindow.h"

#include "ui/Theme.h"

#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QWidget>

namespace hoplin::windows {

QWidget *makeReusableWindow(const QString &title, QSize contentSize, bool resizable)
{
    auto *window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle(title);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    // A helper window alone must not keep the application running once the main window closed.
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->setAutoFillBackground(true);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, Hoplin::bg);
    window->setPalette(palette);
    if (resizable) {
        window->resize(contentSize);
    } else {
        window->setFixedSize(contentSize);
        window->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    }
    return window;
}

WindowController::WindowController()
{
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { delete m_window; });
}

QWidget *WindowController::window()
{
    if (!m_window)
        m_window = build();
    return m_window;
}

void centre(QWidget *window)
{
    const QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

void present(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace hoplin::windows
