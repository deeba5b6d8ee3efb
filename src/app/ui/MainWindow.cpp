#include "MainWindow.h"

#include "Application.h"
#include "QuitGuard.h"
#include "RootView.h"
#include "ui/Theme.h"
#include "version.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <algorithm>

namespace hoplin {

MainWindow::MainWindow(SessionStore &store, QWidget *parent)
    : QMainWindow(parent)
    , m_root(new RootView(store, this))
{
    setObjectName(QStringLiteral("main"));
    setWindowTitle(QLatin1String(version::kAppName));
    setCentralWidget(m_root);
    resize(1200, 780);
    buildMenu();
}

void MainWindow::fitToScreen()
{
    // A small panel (1024 x 768) gets a window inside its available area rather than one that
    // spills past its edge; the root view's minimum size still wins below that.
    const QScreen *current = screen();
    if (!current)
        return;
    const QRect available = current->availableGeometry();
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize fitted = size().boundedTo(available.size() - frame).expandedTo(minimumSizeHint());
    if (fitted == size())
        return;
    resize(fitted);
    QRect placed = frameGeometry();
    placed.moveCenter(available.center());
    move(std::max(placed.left(), available.left()), std::max(placed.top(), available.top()));
}

void MainWindow::buildMenu()
{
    QMenu *menu = menuBar()->addMenu(QLatin1String(version::kAppName));
    menu->setObjectName(QStringLiteral("applicationMenu"));

    m_about = menu->addAction(QStringLiteral("About Hoplin Desktop"), this, &showAboutWindow);
    m_about->setMenuRole(QAction::AboutRole);
    menu->addSeparator();

    m_preferences = menu->addAction(QStringLiteral("Preferences…"), this, &showPreferencesWindow);
    m_preferences->setMenuRole(QAction::PreferencesRole);
    // Desktops that define a Preferences shortcut keep theirs; elsewhere Ctrl+, as on other platforms.
    QList<QKeySequence> shortcuts = QKeySequence::keyBindings(QKeySequence::Preferences);
    if (shortcuts.isEmpty())
        shortcuts << QKeySequence(Qt::CTRL | Qt::Key_Comma);
    m_preferences->setShortcuts(shortcuts);
    m_preferences->setShortcutContext(Qt::ApplicationShortcut);

    menu->addSeparator();
    m_quit = menu->addAction(QStringLiteral("Quit"));
    m_quit->setMenuRole(QAction::QuitRole);
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quit->setShortcutContext(Qt::ApplicationShortcut);
    // quit() asks every window to close first, so the guard in closeEvent decides.
    connect(m_quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The frame's size is known once the window exists: fit it then, the first time only.
    if (!m_fitted) {
        m_fitted = true;
        fitToScreen();
    }
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (!QuitGuard::allowQuit(this)) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

} // namespace hoplin
