#include "ReusableWindow.h"

#include "ui/Theme.h"

#include <QAction>
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
        // Named buttons only: a plain Qt::Window gets every default button back on X11,
        // maximise included.
        window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                               Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    }
    // Escape and Ctrl+W close (hide) a helper window, as they do a dialog.
    auto *close = new QAction(window);
    close->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)});
    close->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(close, &QAction::triggered, window, &QWidget::close);
    window->addAction(close);
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

void WindowController::show()
{
    QWidget *shown = window();
    centre(shown);
    present(shown);
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
