#pragma once

#include <QDialog>
#include <QPushButton>

class QLabel;
class QProgressBar;

namespace hoplin {

class Spinner;
class UpdateManager;

// The sheet over the main window while the updater's showSheet is set: the phase in words, the
// one action that makes sense in it, and "Close". It keeps no state beyond the observed manager.
class UpdateSheet : public QDialog {
    Q_OBJECT
public:
    explicit UpdateSheet(UpdateManager &updater, QWidget *parent = nullptr);

    // The texts of the phase body, top to bottom (for the status line and tests alike).
    QStringList bodyTexts() const;
    // The action button's label, or empty when the phase offers none.
    QString actionText() const;

    void reject() override; // "Close", Escape and the window's close button clear showSheet

private:
    void refresh();
    void runAction();

    UpdateManager &m_updater;
    Spinner *m_spinner = nullptr;
    QLabel *m_message = nullptr;
    QLabel *m_detail = nullptr;
    QProgressBar *m_bar = nullptr;
    QPushButton *m_action = nullptr;
};

// The tab bar's capsule "Update v{version}", shown while an update is available. Clicking it
// opens the sheet and checks again.
class UpdateButton : public QPushButton {
    Q_OBJECT
public:
    explicit UpdateButton(UpdateManager &updater, QWidget *parent = nullptr);

private:
    void refresh();
    UpdateManager &m_updater;
};

} // namespace hoplin
