#pragma once

#include <QColor>
#include <QWidget>

namespace hoplin {

// A small indeterminate progress mark (twelve fading spokes). It animates only while visible, and
// all spinners share one clock that redraws only those on screen, so a list of a thousand pending
// files costs what its visible spinners cost.
class Spinner : public QWidget {
    Q_OBJECT
public:
    explicit Spinner(int diameter, QWidget *parent = nullptr);
    ~Spinner() override;
    void setColor(const QColor &color);
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    friend class SpinnerClock;
    int m_diameter;
    QColor m_color;
};

} // namespace hoplin
