#pragma once

// Helpers for widget tests; header-only so the support library itself stays free of widgets.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

namespace hoplin::test {

// Answers the next modal QMessageBox that opens while it lives: records what the box showed and
// presses its first button. Create it before the code that opens the box, read it afterwards.
// It stops watching when destroyed, so it never answers another test's box.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer()
    {
        m_poll.setInterval(10);
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            m_poll.stop();
            seen = true;
            text = box->text();
            informativeText = box->informativeText();
            icon = box->icon();
            for (QAbstractButton *button : box->buttons())
                buttons << button->text();
            if (!box->buttons().isEmpty())
                box->buttons().first()->click();
            else
                box->reject();
        });
        m_poll.start();
    }
    MessageBoxAnswerer(const MessageBoxAnswerer &) = delete;
    MessageBoxAnswerer &operator=(const MessageBoxAnswerer &) = delete;

    bool seen = false;
    QString text;
    QString informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;

private:
    QTimer m_poll;
};

} // namespace hoplin::test
