#pragma once

#include "analysis/AnalysisDocument.h"

#include <QImage>
#include <QWidget>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;

namespace hoplin {

class LoudnessPlot;

// The loudness of a file over time, under the card's loudness section: short-term loudness as a
// line, momentary lighter behind it, the integrated loudness and a target (-23, -16 or -14 LUFS,
// picked above the graph) as dashed lines, time and LUFS axes, a read-out where the pointer
// hovers, and "Save Graph…" to keep it as a PNG image.
class LoudnessGraph : public QWidget {
    Q_OBJECT
public:
    explicit LoudnessGraph(QWidget *parent = nullptr);

    void setData(const AnalysisLoudnessHistory &history, std::optional<double> integratedLufs);
    // The name "Save Graph…" suggests, e.g. "Take 1_loudness.png", and the folder it starts in.
    void setSuggestedFile(const QString &path);

    static const QList<double> &targets(); // -23, -16, -14
    double target() const;
    void setTarget(double lufs);

    // What hovering at `x` (widget pixels of the plot) reads out, e.g.
    // "1:02.3 · Momentary -21.4 LUFS · Short-term -22.0 LUFS"; absent outside the data.
    std::optional<QString> readoutAt(int x) const;
    LoudnessPlot *plot() const { return m_plot; }

    // The graph drawn at `size` (logical pixels) for saving; twice the pixels for sharp prints.
    QImage image(QSize size = {960, 360}) const;
    // Writes the image as PNG, replacing the file as a whole or not at all. On failure returns
    // the reason.
    std::optional<QString> saveTo(const QString &path) const;

signals:
    void targetChanged(double lufs);

private:
    void chooseAndSave();

    LoudnessPlot *m_plot;
    QComboBox *m_target;
    QPushButton *m_save;
    QLabel *m_saved;
    QString m_suggested;
};

// The drawing itself; public for LoudnessGraph and its tests only.
class LoudnessPlot : public QWidget {
    Q_OBJECT
public:
    explicit LoudnessPlot(QWidget *parent = nullptr);

    AnalysisLoudnessHistory history;
    std::optional<double> integrated;
    double target = -23;

    // Drawing area inside `size`, leaving room for the axes' labels.
    static QRectF plotArea(QSizeF size);
    void paintOn(QPainter &painter, QSizeF size, std::optional<int> hoverX) const;
    std::optional<QString> readoutAt(int x) const;
    // The LUFS range shown, bottom to top, in steps of 5 LU.
    std::pair<double, double> levelRange() const;

    QSize sizeHint() const override { return {600, 220}; }
    QSize minimumSizeHint() const override { return {240, 160}; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    std::optional<int> m_hoverX;
};

} // namespace hoplin
