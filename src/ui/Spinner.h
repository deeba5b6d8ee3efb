#pragma once

#include <QColor>
#include <QTimer>
#include <QWidget>

namespace hoplin {

// A small indeterminate progress mark (twelve fading spokes). It animates only while visible.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(int diameter, QWidget *parent = nullptr);
    void setColor(const QColor &color);
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    int m_diameter;
    int m_step = 0;
    QColor m_color;
    QTimer m_timer;
};

} // namespace hoplin
