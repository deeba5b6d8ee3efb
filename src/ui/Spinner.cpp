#include "ui/Spinner.h"

#include "ui/Theme.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPointer>
#include <QSet>
#include <QTimer>

namespace hoplin {

namespace {
constexpr int kSpokes = 12;
constexpr int kTickMs = 80;
} // namespace

class SpinnerClock : public QObject {
public:
    static SpinnerClock &shared()
    {
        if (!instance())
            instance() = new SpinnerClock(QCoreApplication::instance());
        return *instance();
    }
    // The clock if there is one (none before the first spinner and after the application ends).
    static QPointer<SpinnerClock> &instance()
    {
        static QPointer<SpinnerClock> clock;
        return clock;
    }
    int step() const { return m_step; }
    void add(Spinner *spinner)
    {
        m_spinners.insert(spinner);
        if (!m_timer.isActive())
            m_timer.start();
    }
    void remove(Spinner *spinner)
    {
        m_spinners.remove(spinner);
        if (m_spinners.isEmpty())
            m_timer.stop();
    }

private:
    explicit SpinnerClock(QObject *parent)
        : QObject(parent)
    {
        m_timer.setInterval(kTickMs);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_step = (m_step + 1) % kSpokes;
            for (Spinner *spinner : std::as_const(m_spinners)) {
                // Scrolled out of sight or covered: nothing to redraw.
                if (!spinner->visibleRegion().isEmpty())
                    spinner->update();
            }
        });
    }
    QTimer m_timer;
    QSet<Spinner *> m_spinners;
    int m_step = 0;
};

Spinner::Spinner(int diameter, QWidget *parent)
    : QWidget(parent)
    , m_diameter(diameter)
    , m_color(Hoplin::muted)
{
    setFixedSize(diameter, diameter);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

Spinner::~Spinner()
{
    // A spinner deleted with its parent gets no hide event.
    if (SpinnerClock *clock = SpinnerClock::instance())
        clock->remove(this);
}

void Spinner::setColor(const QColor &color)
{
    m_color = color;
    update();
}

void Spinner::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal radius = m_diameter / 2.0;
    QPen pen(m_color);
    pen.setWidthF(qMax(1.5, m_diameter / 8.0));
    pen.setCapStyle(Qt::RoundCap);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at the current step is the darkest; the ones behind it fade out.
        const int age = (SpinnerClock::shared().step() - i + kSpokes) % kSpokes;
        QColor color = m_color;
        color.setAlphaF(1.0 - 0.8 * age / (kSpokes - 1));
        pen.setColor(color);
        painter.setPen(pen);
        painter.save();
        painter.rotate(i * 360.0 / kSpokes);
        painter.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius + pen.widthF() / 2));
        painter.restore();
    }
}

void Spinner::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    SpinnerClock::shared().add(this);
}

void Spinner::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    SpinnerClock::shared().remove(this);
}

} // namespace hoplin
