#include "AnalysisFormat.h"

#include <algorithm>
#include <cmath>

namespace hoplin::AnalysisFormat {

namespace {

std::optional<double> valueOf(const std::optional<LooseDouble> &loose)
{
    return loose ? loose->value : std::nullopt;
}

std::optional<qint64> valueOf(const std::optional<LooseInt> &loose)
{
    return loose ? loose->value : std::nullopt;
}

// The present texts joined with " · "; empty when none is present.
QString joinPresent(std::initializer_list<std::optional<QString>> parts)
{
    QStringList present;
    for (const auto &part : parts) {
        if (part)
            present << *part;
    }
    return present.join(QStringLiteral(" · "));
}

std::optional<QString> duration(const std::optional<QString> &hms, const std::optional<LooseDouble> &seconds)
{
    return hms ? hms : fmt(seconds, QStringLiteral(" s"), 2);
}

Section containerSection(const AnalysisContainer &c)
{
    const QString type = c.displayName ? *c.displayName : joinPresent({c.formatLongName, c.formatName});
    const auto streams = valueOf(c.nbStreams);
    return {QStringLiteral("Container"),
            {{QStringLiteral("Type"), type},
             {QStringLiteral("Duration"), duration(c.durationHms, c.durationSec)},
             {QStringLiteral("Size"), fmtBytes(c.sizeBytes)},
             {QStringLiteral("Overall bit rate"), fmt(c.bitRateBps, QStringLiteral(" b/s"), 0)},
             {QStringLiteral("Streams"), streams ? std::optional(QString::number(*streams)) : std::nullopt}}};
}

Section audioStreamSection(const AnalysisStream &st, qsizetype position)
{
    const qint64 number = valueOf(st.index).value_or(position);
    const auto depth = valueOf(st.bitDepth);
    const auto declared = valueOf(st.bitRateBps);
    Section section{
        QStringLiteral("Audio Stream #%1").arg(number),
        {{QStringLiteral("Codec"), st.codecLongName ? st.codecLongName : st.codecName},
         {QStringLiteral("Sample rate"), fmt(st.sampleRateHz, QStringLiteral(" Hz"), 0)},
         {QStringLiteral("Bit depth"), depth ? std::optional(QStringLiteral("%1 bits").arg(*depth)) : std::nullopt},
         {QStringLiteral("Channels"), channelLabel(st)},
         {QStringLiteral("Sample format"), st.sampleFmt},
         {QStringLiteral("Bit rate"),
          fmt(declared ? declared : valueOf(st.effectiveBitRateBps), QStringLiteral(" b/s"), 0)},
         {QStringLiteral("Duration"), duration(st.durationHms, st.durationSec)}}};
    if (st.language)
        section.rows.append({QStringLiteral("Language"), st.language});
    if (st.title)
        section.rows.append({QStringLiteral("Title"), st.title});
    return section;
}

Section otherStreamsSection(const QList<AnalysisStream> &streams)
{
    Section section{QStringLiteral("Other Streams"), {}};
    for (const AnalysisStream &st : streams) {
        const auto index = valueOf(st.index);
        const QString label = QStringLiteral("%1 %2").arg(st.codecType.value_or(QStringLiteral("stream")),
                                                          index ? QString::number(*index) : QStringLiteral("?"));
        section.rows.append({label, joinPresent({st.codecLongName, st.codecName})});
    }
    return section;
}

Section metadataSection(const QMap<QString, QString> &tags)
{
    Section section{QStringLiteral("Metadata"), {}};
    for (const QString &key : sortedTagKeys(tags))
        section.rows.append({key, tags.value(key)});
    return section;
}

Section chaptersSection(const QList<AnalysisChapter> &chapters)
{
    Section section{QStringLiteral("Chapters"), {}};
    for (qsizetype i = 0; i < chapters.size(); ++i) {
        const AnalysisChapter &ch = chapters[i];
        const qint64 number = valueOf(ch.id).value_or(i);
        QString value = ch.startHms.value_or(absentText) + QStringLiteral(" → ") + ch.endHms.value_or(absentText);
        if (ch.title)
            value += QStringLiteral("  ") + *ch.title;
        section.rows.append({QStringLiteral("Chapter %1").arg(number), value});
    }
    return section;
}

Section levelsSection(const AnalysisLevels &l)
{
    return {QStringLiteral("Levels"),
            {{QStringLiteral("Peak level"), fmt(l.peakDbfs, QStringLiteral(" dBFS"), 2)},
             {QStringLiteral("RMS level"), fmt(l.rmsDbfs, QStringLiteral(" dBFS"), 2)}}};
}

Section loudnessSection(const AnalysisLoudness &l)
{
    return {QStringLiteral("Loudness (EBU R128 / ITU-R BS.1770)"),
            {{QStringLiteral("Integrated"), fmt(l.integratedLufs, QStringLiteral(" LUFS"), 2)},
             {QStringLiteral("LRA"), lraText(l)},
             {QStringLiteral("True peak"), fmt(l.truePeakDbfs, QStringLiteral(" dBFS"), 2)},
             {QStringLiteral("Max short-term"), fmt(l.maxShortTermLufs, QStringLiteral(" LUFS"), 2)},
             {QStringLiteral("Max momentary"), fmt(l.maxMomentaryLufs, QStringLiteral(" LUFS"), 2)}}};
}

} // namespace

std::optional<QString> fmt(std::optional<double> value, const QString &unit, int digits)
{
    if (!value)
        return std::nullopt;
    return QString::asprintf("%.*f", digits, *value) + unit;
}

std::optional<QString> fmt(const std::optional<LooseDouble> &value, const QString &unit, int digits)
{
    return fmt(valueOf(value), unit, digits);
}

std::optional<QString> fmtBytes(const std::optional<LooseDouble> &value)
{
    const auto bytes = valueOf(value);
    if (!bytes)
        return std::nullopt;
    if (*bytes < 1024)
        return QString::asprintf("%.0f bytes", *bytes);
    static const char *const units[] = {"KB", "MB", "GB"};
    double scaled = *bytes;
    int unit = -1;
    while (scaled >= 1024 && unit < 2) {
        scaled /= 1024;
        ++unit;
    }
    return QString::asprintf("%.1f %s", scaled, units[unit]);
}

std::optional<QString> channelLabel(const AnalysisStream &stream)
{
    const auto channels = valueOf(stream.channels);
    if (!channels)
        return std::nullopt;
    const QString layout = stream.channelLayout.value_or(QString());
    if (layout.isEmpty() || layout == u"unknown")
        return QString::number(*channels);
    return QStringLiteral("%1 (%2)").arg(QString::number(*channels), layout);
}

QString decimalText(double value)
{
    QString text = shortestText(value);
    if (!text.contains(u'.') && !text.contains(u'e'))
        text += QStringLiteral(".0");
    return text;
}

std::optional<QString> lraText(const AnalysisLoudness &loudness)
{
    // The service sends full precision; a loudness range to more than hundredths of a LU is noise
    // on the card ("15.281467571112419 LU"), so it is rounded there first.
    auto text = [](double value) { return decimalText(std::round(value * 100) / 100); };
    if (loudness.lraLu)
        return text(*loudness.lraLu) + QStringLiteral(" LU");
    if (loudness.lraLowLufs) {
        const QString high = loudness.lraHighLufs ? text(*loudness.lraHighLufs) : QString();
        return QStringLiteral("%1 … %2 LU").arg(text(*loudness.lraLowLufs), high);
    }
    return std::nullopt;
}

std::optional<QString> summaryLine(const std::optional<AnalysisPayload> &analysis)
{
    if (!analysis)
        return std::nullopt;
    QStringList parts;
    if (analysis->audioStreams && !analysis->audioStreams->isEmpty()) {
        const AnalysisStream &first = analysis->audioStreams->first();
        if (const auto rate = valueOf(first.sampleRateHz))
            parts << QString::asprintf("%.0f Hz", *rate);
        if (const auto channels = valueOf(first.channels))
            parts << QStringLiteral("%1 ch").arg(*channels);
        if (const auto depth = valueOf(first.bitDepth))
            parts << QStringLiteral("%1-bit").arg(*depth);
    }
    if (analysis->loudness && analysis->loudness->integratedLufs)
        parts << QString::asprintf("%.1f LUFS", *analysis->loudness->integratedLufs);
    if (parts.isEmpty())
        return std::nullopt;
    return parts.join(QStringLiteral(" · "));
}

QList<Section> sections(const AnalysisPayload &analysis)
{
    QList<Section> result;
    if (analysis.container)
        result << containerSection(*analysis.container);
    if (analysis.audioStreams) {
        for (qsizetype i = 0; i < analysis.audioStreams->size(); ++i)
            result << audioStreamSection(analysis.audioStreams->at(i), i);
    }
    if (analysis.otherStreams && !analysis.otherStreams->isEmpty())
        result << otherStreamsSection(*analysis.otherStreams);
    if (analysis.container && analysis.container->tags && !analysis.container->tags->values.isEmpty())
        result << metadataSection(analysis.container->tags->values);
    if (analysis.chapters && !analysis.chapters->isEmpty())
        result << chaptersSection(*analysis.chapters);
    if (analysis.levels)
        result << levelsSection(*analysis.levels);
    if (analysis.loudness)
        result << loudnessSection(*analysis.loudness);
    return result;
}

QStringList sortedTagKeys(const QMap<QString, QString> &tags)
{
    QStringList keys = tags.keys();
    // QString orders by UTF-16 code unit, which puts characters above U+FFFF before U+E000…U+FFFF.
    std::sort(keys.begin(), keys.end(), [](const QString &a, const QString &b) { return a.toUcs4() < b.toUcs4(); });
    return keys;
}

} // namespace hoplin::AnalysisFormat
