#pragma once

#include <QAbstractButton>

namespace hoplin {

// One tab of the tab bar: its title upper-cased in heavy letter-spaced type, `ink` with an
// `accent` underline when selected, `muted` otherwise.
class TabButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit TabButton(const QString &title, QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    bool m_keyboardFocus = false; // the focus ring is for keyboard users only
};

} // namespace hoplin
