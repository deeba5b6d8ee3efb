#include "LoudnessGraph.h"

#include "ui/Theme.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>
#include <cmath>

namespace hoplin {

namespace {

constexpr double kLeft = 44, kRight = 22, kTop = 18, kBottom = 24;

// "1:05", "12:00", "1:02:03"; with `tenths`, "1:05.3".
QString clockText(double seconds, bool tenths)
{
    const double rounded = tenths ? std::round(seconds * 10) / 10 : std::round(seconds);
    const auto whole = static_cast<long long>(rounded);
    QString text = whole >= 3600 ? QString::asprintf("%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60)
                                 : QString::asprintf("%lld:%02lld", whole / 60, whole % 60);
    if (tenths)
        text += QString::asprintf(".%d", int(std::llround((rounded - double(whole)) * 10)) % 10);
    return text;
}

// A tick spacing that gives at most about `count` ticks over `span` seconds.
double timeStep(double span, int count)
{
    static const double steps[] = {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200};
    for (const double step : steps) {
        if (span / step <= count)
            return step;
    }
    return 7200;
}

QString lufsText(double value)
{
    return QString::asprintf("%.1f LUFS", value).replace(QLatin1Char('-'), QChar(0x2212));
}

} // namespace

// ---- the drawing ----------------------------------------------------------------------------

LoudnessPlot::LoudnessPlot(QWidget *parent)
    : QWidget(parent)
{
    setMouseTracking(true);
    setObjectName(QStringLiteral("loudnessPlot"));
}

QRectF LoudnessPlot::plotArea(QSizeF size)
{
    return QRectF(kLeft, kTop, std::max(1.0, size.width() - kLeft - kRight),
                  std::max(1.0, size.height() - kTop - kBottom));
}

std::pair<double, double> LoudnessPlot::levelRange() const
{
    double low = target, high = target;
    if (integrated) {
        low = std::min(low, *integrated);
        high = std::max(high, *integrated);
    }
    for (const auto *series : {&history.momentaryLufs, &history.shortTermLufs}) {
        for (const auto &value : *series) {
            if (value) {
                low = std::min(low, *value);
                high = std::max(high, *value);
            }
        }
    }
    high = std::ceil((high + 2) / 5) * 5;
    // Quiet passages below 40 LU under the loudest part are drawn at the bottom edge.
    low = std::max(std::floor((low - 2) / 5) * 5, high - 40);
    // A steady file still gets room around its line.
    return {std::min(low, high - 20), high};
}

void LoudnessPlot::paintOn(QPainter &p, QSizeF size, std::optional<int> hoverX) const
{
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRectF(QPointF(0, 0), size), Hoplin::card);
    const QRectF area = plotArea(size);
    const auto [low, high] = levelRange();
    const double duration = std::max(history.durationSec(), history.stepSec);
    const auto xOf = [&](double seconds) { return area.left() + seconds / duration * area.width(); };
    const auto yOf = [&](double lufs) {
        return area.top() + (high - std::clamp(lufs, low, high)) / (high - low) * area.height();
    };

    // Axes: a line every 5 or 10 LU, time ticks at round intervals.
    p.setFont(theme::font(10));
    const double levelStep = high - low > 25 ? 10 : 5;
    for (double level = high; level >= low - 1e-9; level -= levelStep) {
        const double y = yOf(level);
        p.setPen(QPen(Hoplin::line, 1));
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.setPen(Hoplin::muted);
        p.drawText(QRectF(0, y - 8, kLeft - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                   QString::number(level, 'f', 0).replace(QLatin1Char('-'), QChar(0x2212)));
    }
    const double step = timeStep(duration, std::max(2, int(area.width() / 70)));
    for (double t = 0; t <= duration + 1e-9; t += step) {
        const double x = xOf(t);
        p.setPen(QPen(Hoplin::line, 1));
        p.drawLine(QPointF(x, area.bottom()), QPointF(x, area.bottom() + 4));
        p.setPen(Hoplin::muted);
        p.drawText(QRectF(x - 30, area.bottom() + 5, 60, 16), Qt::AlignHCenter | Qt::AlignTop, clockText(t, false));
    }
    p.setPen(Hoplin::muted);
    p.drawText(QRectF(0, 0, kLeft + 40, kTop - 2), Qt::AlignLeft | Qt::AlignTop, QStringLiteral("LUFS"));

    // One point per pixel column at most, keeping the loudest value of the column; gaps where the
    // series has no value.
    const auto drawSeries = [&](const QList<std::optional<double>> &series, const QPen &pen) {
        QPainterPath path;
        bool open = false;
        double columnX = -1;
        std::optional<double> columnMax;
        const auto flush = [&] {
            if (!columnMax) {
                open = false;
                return;
            }
            const QPointF point(columnX, yOf(*columnMax));
            open ? path.lineTo(point) : path.moveTo(point);
            open = true;
        };
        for (qsizetype i = 0; i < series.size(); ++i) {
            const double x = std::round(xOf(double(i + 1) * history.stepSec));
            if (x != columnX) {
                if (columnX >= 0)
                    flush();
                columnX = x;
                columnMax.reset();
            }
            if (series[i] && (!columnMax || *series[i] > *columnMax))
                columnMax = series[i];
            else if (!series[i] && !columnMax)
                open = false;
        }
        if (columnX >= 0)
            flush();
        p.setPen(pen);
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    };
    p.save();
    p.setClipRect(area.adjusted(-1, -1, 1, 1));
    // Reference lines first, so the measured lines stay on top where they meet.
    const auto dashed = [&](double level, const QColor &color, const QString &label) {
        QPen pen(color, 1.2, Qt::DashLine);
        pen.setDashPattern({5, 4});
        p.setPen(pen);
        const double y = yOf(level);
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
        p.setPen(color);
        p.drawText(QRectF(area.left() + 4, y - 15, area.width() - 8, 14), Qt::AlignRight | Qt::AlignBottom, label);
    };
    dashed(target, Hoplin::errRed, QStringLiteral("Target ") + lufsText(target));
    if (integrated)
        dashed(*integrated, Hoplin::okTeal, QStringLiteral("Integrated ") + lufsText(*integrated));
    QColor light = Hoplin::accent;
    light.setAlphaF(0.35);
    drawSeries(history.momentaryLufs, QPen(light, 1));
    drawSeries(history.shortTermLufs, QPen(Hoplin::accent, 1.8));

    p.restore();

    p.setPen(QPen(Hoplin::line, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(area);

    // The read-out: a line at the pointer and a label beside it.
    const std::optional<QString> text = hoverX ? readoutAt(*hoverX) : std::nullopt;
    if (text) {
        p.setPen(QPen(Hoplin::ink, 1));
        p.drawLine(QPointF(*hoverX, area.top()), QPointF(*hoverX, area.bottom()));
        const QFontMetricsF metrics(p.font());
        QRectF box(0, 0, metrics.horizontalAdvance(*text) + 12, metrics.height() + 6);
        box.moveTopLeft(QPointF(*hoverX + 8, area.top() + 4));
        if (box.right() > area.right())
            box.moveRight(*hoverX - 8);
        p.setBrush(Hoplin::bg);
        p.setPen(QPen(Hoplin::line, 1));
        p.drawRoundedRect(box, 4, 4);
        p.setPen(Hoplin::ink);
        p.drawText(box, Qt::AlignCenter, *text);
    }
}

std::optional<QString> LoudnessPlot::readoutAt(int x) const
{
    const QRectF area = plotArea(size());
    const qsizetype count = history.size();
    if (count == 0 || x < area.left() || x > area.right())
        return std::nullopt;
    const double seconds = (x - area.left()) / area.width() * history.durationSec();
    const qsizetype index = std::clamp<qsizetype>(qsizetype(std::llround(seconds / history.stepSec)) - 1, 0, count - 1);
    const auto value = [&](const QList<std::optional<double>> &series) {
        const std::optional<double> v = series.value(index);
        return v ? lufsText(*v) : QStringLiteral("—");
    };
    return QStringLiteral("%1 · Momentary %2 · Short-term %3")
        .arg(clockText(double(index + 1) * history.stepSec, true), value(history.momentaryLufs),
             value(history.shortTermLufs));
}

void LoudnessPlot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    paintOn(painter, size(), m_hoverX);
}

void LoudnessPlot::mouseMoveEvent(QMouseEvent *event)
{
    m_hoverX = int(event->position().x());
    update();
}

void LoudnessPlot::leaveEvent(QEvent *)
{
    m_hoverX.reset();
    update();
}

// ---- the graph with its controls -------------------------------------------------------------

const QList<double> &LoudnessGraph::targets()
{
    static const QList<double> values{-23, -16, -14};
    return values;
}

LoudnessGraph::LoudnessGraph(QWidget *parent)
    : QWidget(parent)
    , m_plot(new LoudnessPlot(this))
    , m_target(new QComboBox(this))
    , m_save(new QPushButton(QStringLiteral("Save Graph…"), this))
    , m_saved(theme::label(QString(), 10, Hoplin::muted, this))
{
    setObjectName(QStringLiteral("loudnessGraph"));
    m_target->setObjectName(QStringLiteral("targetPicker"));
    m_target->setFont(theme::font(11));
    m_target->addItem(QStringLiteral("Target −23 LUFS (EBU R128)"), -23.0);
    m_target->addItem(QStringLiteral("Target −16 LUFS"), -16.0);
    m_target->addItem(QStringLiteral("Target −14 LUFS"), -14.0);
    m_save->setObjectName(QStringLiteral("saveGraph"));
    m_save->setFont(theme::font(11));
    m_save->setCursor(Qt::PointingHandCursor);
    m_saved->setObjectName(QStringLiteral("graphSaveStatus"));

    auto *bar = new QHBoxLayout();
    bar->setContentsMargins(0, 0, 0, 0);
    bar->addWidget(theme::label(QStringLiteral("Short-term — solid · Momentary — light"), 10, Hoplin::muted, this));
    bar->addStretch(1);
    bar->addWidget(m_saved);
    bar->addWidget(m_target);
    bar->addWidget(m_save);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addLayout(bar);
    layout->addWidget(m_plot);
    m_plot->setMinimumHeight(200);

    connect(m_target, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_plot->target = m_target->itemData(index).toDouble();
        m_plot->update();
        emit targetChanged(m_plot->target);
    });
    connect(m_save, &QPushButton::clicked, this, &LoudnessGraph::chooseAndSave);
}

void LoudnessGraph::setData(const AnalysisLoudnessHistory &history, std::optional<double> integratedLufs)
{
    m_plot->history = history;
    m_plot->integrated = integratedLufs;
    m_plot->update();
}

void LoudnessGraph::setSuggestedFile(const QString &path)
{
    m_suggested = path;
}

double LoudnessGraph::target() const
{
    return m_plot->target;
}

void LoudnessGraph::setTarget(double lufs)
{
    const int index = m_target->findData(lufs);
    if (index >= 0)
        m_target->setCurrentIndex(index);
}

std::optional<QString> LoudnessGraph::readoutAt(int x) const
{
    return m_plot->readoutAt(x);
}

QImage LoudnessGraph::image(QSize size) const
{
    QImage image(size * 2, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(2);
    QPainter painter(&image);
    m_plot->paintOn(painter, size, std::nullopt);
    return image;
}

std::optional<QString> LoudnessGraph::saveTo(const QString &path) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (!image().save(&file, "PNG"))
        return QStringLiteral("the image could not be written");
    if (!file.commit())
        return file.errorString();
    return std::nullopt;
}

void LoudnessGraph::chooseAndSave()
{
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Save Graph"), m_suggested,
                                                      QStringLiteral("PNG image (*.png)"));
    if (path.isEmpty())
        return;
    const std::optional<QString> failure = saveTo(path);
    m_saved->setText(failure ? QStringLiteral("✗ Could not save graph: %1").arg(*failure)
                             : QStringLiteral("✓ Saved → %1").arg(QFileInfo(path).fileName()));
    theme::tint(m_saved, failure ? Hoplin::errRed : Hoplin::okTeal);
}

} // namespace hoplin
