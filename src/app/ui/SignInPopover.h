#pragma once

#include "service/SessionStore.h"

#include <QFrame>

class QLabel;
class QLineEdit;
class QPushButton;

namespace hoplin {

class Spinner;

// The small sign-in panel under the connection pill: a masked key field, "Connect" with a
// spinner while signing in, and the failure text. It closes by itself on a click outside.
class SignInPopover : public QFrame {
    Q_OBJECT
public:
    explicit SignInPopover(QWidget *parent = nullptr);

    QString key() const;
    void clearKey();
    void setState(const ConnectionState &state);

    // Opens under `anchor`, right edges aligned, kept on the anchor's screen.
    void popUp(QWidget *anchor);

signals:
    // Return in the field or a click on "Connect".
    void submitted();

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QLineEdit *m_field;
    QPushButton *m_connect;
    Spinner *m_spinner;
    QLabel *m_failure;
};

} // namespace hoplin
