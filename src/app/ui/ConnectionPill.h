#pragma once

#include "service/SessionStore.h"

#include <QAbstractButton>

namespace hoplin {

class Spinner;

// The capsule at the right of the tab bar: a mark (spinner or coloured dot) and the connection
// text, with the number of usage reports still waiting to be delivered.
class ConnectionPill : public QAbstractButton {
    Q_OBJECT
public:
    explicit ConnectionPill(QWidget *parent = nullptr);

    void setState(const ConnectionState &state, int pendingUsage);
    const ConnectionState &state() const { return m_state; }

    static QString textFor(const ConnectionState &state, int pendingUsage);
    // The dot's colour; invalid while connecting (a spinner stands there instead).
    static QColor dotColor(ConnectionState::Kind kind);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void layoutMark();

    ConnectionState m_state = ConnectionState::disconnected();
    Spinner *m_spinner;
};

} // namespace hoplin
