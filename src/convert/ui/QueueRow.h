#pragma once

#include "convert/ConvertRunner.h"

#include <QFrame>

class QLabel;
class QProgressBar;
class QPushButton;

namespace hoplin {

// One line of the Convert queue: file, preset, status, error detail, live progress and the one
// action that fits the item's state.
class QueueRow : public QFrame {
    Q_OBJECT
public:
    enum class Action { None, Retry, Reveal, Remove };

    explicit QueueRow(QWidget *parent = nullptr);
    void show(const QueueItem &item, const QString &presetName, bool running);
    void showProgress(const QueueItem &item);

    Action action() const { return m_action; }
    QPushButton *actionButton() const { return m_button; }
    QString statusText() const;
    QString progressText() const;

signals:
    void actionTriggered(hoplin::QueueRow::Action action);

private:
    Action m_action = Action::None;
    QLabel *m_name = nullptr;
    QLabel *m_preset = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_detail = nullptr;
    QProgressBar *m_bar = nullptr;
    QLabel *m_progress = nullptr;
    QPushButton *m_button = nullptr;
};

// "42 %" and "about 1 min 5 s left", or nothing while unknown.
QString progressLabel(const QueueItem &item);

} // namespace hoplin
