#pragma once

#include "AnalysisDocument.h"

#include <QList>
#include <QString>
#include <optional>

namespace hoplin {

// How the Analysis page writes an analysis: the display functions and the report sections, kept
// free of widgets so the texts can be checked on their own. Absent input gives absent text, which
// the page shows as "—".
namespace AnalysisFormat {

inline const QString absentText = QStringLiteral("—");

// "%.{digits}f" immediately followed by `unit` (units carry their own leading space).
std::optional<QString> fmt(std::optional<double> value, const QString &unit, int digits);
std::optional<QString> fmt(const std::optional<LooseDouble> &value, const QString &unit, int digits);
// "1023 bytes", "1.5 KB", "1.0 MB", "2048.0 GB".
std::optional<QString> fmtBytes(const std::optional<LooseDouble> &value);
// "2 (stereo)", or "2" when the layout is missing, empty or "unknown".
std::optional<QString> channelLabel(const AnalysisStream &stream);
// The shortest text of the value, always with a digit after the point ("7.0", "-30.5").
QString decimalText(double value);
// "7.0 LU", or "-30.5 … -23.0 LU" from the range ends when the width itself is not given.
std::optional<QString> lraText(const AnalysisLoudness &loudness);
// "48000 Hz · 2 ch · 24-bit · -23.0 LUFS" from what is known; absent when nothing is.
std::optional<QString> summaryLine(const std::optional<AnalysisPayload> &analysis);

struct Row {
    QString label;
    std::optional<QString> value;
    bool operator==(const Row &) const = default;
};

struct Section {
    QString title;
    QList<Row> rows;
    bool operator==(const Section &) const = default;
};

// The sections of a card's details, in display order, each only when it has something to show.
QList<Section> sections(const AnalysisPayload &analysis);

// Tag keys in ascending order of their Unicode scalar values (upper case before lower case).
QStringList sortedTagKeys(const QMap<QString, QString> &tags);

} // namespace AnalysisFormat
} // namespace hoplin
