#pragma once

#include <QMainWindow>

class QAction;

namespace hoplin {

class RootView;
class SessionStore;

// The one main window: title, size, the application menu and the quit guard on close.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(SessionStore &store, QWidget *parent = nullptr);

    RootView *rootView() const { return m_root; }
    QAction *aboutAction() const { return m_about; }
    QAction *preferencesAction() const { return m_preferences; }
    QAction *quitAction() const { return m_quit; }

    // Shrinks the window into its screen's available area when the default size does not fit.
    void fitToScreen();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void buildMenu();

    RootView *m_root;
    QAction *m_about = nullptr;
    QAction *m_preferences = nullptr;
    QAction *m_quit = nullptr;
    bool m_fitted = false;
};

} // namespace hoplin
