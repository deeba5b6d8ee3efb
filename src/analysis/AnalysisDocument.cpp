#include "AnalysisDocument.h"

#include "service/Json.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <cmath>

namespace hoplin {

namespace {

// Spaces and tabs only: a line break inside a number field is not padding.
QStringView trimBlanks(QStringView text)
{
    while (!text.isEmpty() && (text.front() == u' ' || text.front() == u'\t'))
        text = text.mid(1);
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t'))
        text.chop(1);
    return text;
}

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Optional sign and at least one digit, nothing else.
std::optional<qint64> parseInteger(QStringView text)
{
    qsizetype i = (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    for (qsizetype j = i; j < text.size(); ++j) {
        if (!isDigit(text[j]))
            return std::nullopt;
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok, 10); // fails on overflow
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

// Decimal notation only: sign, digits with an optional fraction, optional exponent. No "inf",
// "nan" or hexadecimal forms.
std::optional<double> parseDecimal(QStringView text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    if (i < n && (text[i] == u'+' || text[i] == u'-'))
        ++i;
    qsizetype digits = 0;
    while (i < n && isDigit(text[i]))
        ++i, ++digits;
    if (i < n && text[i] == u'.') {
        ++i;
        while (i < n && isDigit(text[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return std::nullopt;
    if (i < n && (text[i] == u'e' || text[i] == u'E')) {
        ++i;
        if (i < n && (text[i] == u'+' || text[i] == u'-'))
            ++i;
        qsizetype exponentDigits = 0;
        while (i < n && isDigit(text[i]))
            ++i, ++exponentDigits;
        if (exponentDigits == 0)
            return std::nullopt;
    }
    if (i != n)
        return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    // Out-of-range text comes back as infinity (with ok false); neither is a value.
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<LooseInt> looseInt(const JsonReader &json, const QString &key)
{
    return json.has(key) ? std::optional<LooseInt>(LooseInt::read(json.raw(key))) : std::nullopt;
}

std::optional<LooseDouble> looseDouble(const JsonReader &json, const QString &key)
{
    return json.has(key) ? std::optional<LooseDouble>(LooseDouble::read(json.raw(key))) : std::nullopt;
}

std::optional<LooseTags> looseTags(const JsonReader &json, const QString &key)
{
    return json.has(key) ? std::optional<LooseTags>(LooseTags::read(json.raw(key))) : std::nullopt;
}

template <typename Record> std::optional<Record> record(const JsonReader &json, const QString &key)
{
    if (const auto object = json.optionalObject(key))
        return Record::fromJson(object->convertingSnakeCase());
    return std::nullopt;
}

template <typename Record> std::optional<QList<Record>> records(const JsonReader &json, const QString &key)
{
    if (!json.has(key))
        return std::nullopt;
    return json.list(key, [](const JsonReader &item) { return Record::fromJson(item.convertingSnakeCase()); });
}

QString s(const char *latin1)
{
    return QString::fromLatin1(latin1);
}

} // namespace

LooseInt LooseInt::read(const QJsonValue &json)
{
    if (json.isString()) {
        const QString sent = json.toString(); // the view below points into it
        const QStringView text = trimBlanks(sent);
        return {text.isEmpty() ? std::nullopt : parseInteger(text)};
    }
    // Integers and whole numbers inside the 64-bit range; fractions are not rounded.
    return {exactInteger(json)};
}

LooseDouble LooseDouble::read(const QJsonValue &json)
{
    if (json.isDouble()) {
        const double value = json.toDouble();
        return {std::isfinite(value) ? std::optional<double>(value) : std::nullopt};
    }
    if (json.isString())
        return {parseDecimal(trimBlanks(json.toString()))};
    return {};
}

AnyDecodable AnyDecodable::read(const QJsonValue &json)
{
    switch (json.type()) {
    case QJsonValue::String:
        return {json.toString()};
    case QJsonValue::Double: {
        if (const auto whole = exactInteger(json))
            return {QString::number(*whole)};
        const double value = json.toDouble();
        return {std::isfinite(value) ? shortestText(value) : QString()};
    }
    case QJsonValue::Bool:
        return {json.toBool() ? QStringLiteral("true") : QStringLiteral("false")};
    default:
        return {};
    }
}

LooseTags LooseTags::read(const QJsonValue &json)
{
    LooseTags tags;
    if (!json.isObject())
        return tags;
    // Strings come out of AnyDecodable unchanged, so one pass covers both the all-text and the
    // mixed dictionary.
    const QJsonObject object = json.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        tags.values.insert(it.key(), AnyDecodable::read(it.value()).displayString);
    return tags;
}

QString shortestText(double value)
{
    const double magnitude = std::fabs(value);
    // Fixed notation in the everyday range, exponent form for the very small and the very large.
    if (value != 0 && (magnitude < 1e-4 || magnitude >= 1e16))
        return QString::number(value, 'e', QLocale::FloatingPointShortest);
    return QString::number(value, 'f', QLocale::FloatingPointShortest);
}

AnalysisFileInfo AnalysisFileInfo::fromJson(const JsonReader &json)
{
    return {json.optionalString(s("name"))};
}

AnalysisEngineInfo AnalysisEngineInfo::fromJson(const JsonReader &json)
{
    return {json.optionalString(s("ffprobe")), json.optionalString(s("ffmpeg")),
            json.optionalString(s("measurementBackend"))};
}

AnalysisContainer AnalysisContainer::fromJson(const JsonReader &json)
{
    AnalysisContainer c;
    c.formatName = json.optionalString(s("formatName"));
    c.formatLongName = json.optionalString(s("formatLongName"));
    c.displayName = json.optionalString(s("displayName"));
    c.durationSec = looseDouble(json, s("durationSec"));
    c.durationHms = json.optionalString(s("durationHms"));
    c.bitRateBps = looseDouble(json, s("bitRateBps"));
    c.sizeBytes = looseDouble(json, s("sizeBytes"));
    c.nbStreams = looseInt(json, s("nbStreams"));
    c.probeScore = looseDouble(json, s("probeScore"));
    c.tags = looseTags(json, s("tags"));
    return c;
}

AnalysisStream AnalysisStream::fromJson(const JsonReader &json)
{
    AnalysisStream st;
    st.index = looseInt(json, s("index"));
    st.codecType = json.optionalString(s("codecType"));
    st.codecName = json.optionalString(s("codecName"));
    st.codecLongName = json.optionalString(s("codecLongName"));
    st.codecTagString = json.optionalString(s("codecTagString"));
    st.sampleRateHz = looseDouble(json, s("sampleRateHz"));
    st.channels = looseInt(json, s("channels"));
    st.channelLayout = json.optionalString(s("channelLayout"));
    st.sampleFmt = json.optionalString(s("sampleFmt"));
    st.bitsPerSample = looseInt(json, s("bitsPerSample"));
    st.bitsPerRawSample = looseInt(json, s("bitsPerRawSample"));
    st.bitDepth = looseInt(json, s("bitDepth"));
    st.bitRateBps = looseDouble(json, s("bitRateBps"));
    st.effectiveBitRateBps = looseDouble(json, s("effectiveBitRateBps"));
    st.durationSec = looseDouble(json, s("durationSec"));
    st.durationHms = json.optionalString(s("durationHms"));
    st.language = json.optionalString(s("language"));
    st.title = json.optionalString(s("title"));
    st.tags = looseTags(json, s("tags"));
    return st;
}

AnalysisChapter AnalysisChapter::fromJson(const JsonReader &json)
{
    AnalysisChapter c;
    c.id = looseInt(json, s("id"));
    c.startSec = looseDouble(json, s("startSec"));
    c.endSec = looseDouble(json, s("endSec"));
    c.startHms = json.optionalString(s("startHms"));
    c.endHms = json.optionalString(s("endHms"));
    c.title = json.optionalString(s("title"));
    return c;
}

AnalysisLevels AnalysisLevels::fromJson(const JsonReader &json)
{
    AnalysisLevels l;
    l.peakDbfs = json.optionalNumber(s("peakDbfs"));
    l.astatsPeakDbfs = json.optionalNumber(s("astatsPeakDbfs"));
    l.rmsDbfs = json.optionalNumber(s("rmsDbfs"));
    l.noiseFloorDbfs = json.optionalNumber(s("noiseFloorDbfs"));
    l.flatFactor = json.optionalNumber(s("flatFactor"));
    l.peakCount = looseInt(json, s("peakCount"));
    l.sampleCount = looseInt(json, s("sampleCount"));
    return l;
}

AnalysisLoudness AnalysisLoudness::fromJson(const JsonReader &json)
{
    AnalysisLoudness l;
    l.integratedLufs = json.optionalNumber(s("integratedLufs"));
    l.thresholdLufs = json.optionalNumber(s("thresholdLufs"));
    l.lraLu = json.optionalNumber(s("lraLu"));
    l.lraLowLufs = json.optionalNumber(s("lraLowLufs"));
    l.lraHighLufs = json.optionalNumber(s("lraHighLufs"));
    l.truePeakDbfs = json.optionalNumber(s("truePeakDbfs"));
    l.maxShortTermLufs = json.optionalNumber(s("maxShortTermLufs"));
    l.maxMomentaryLufs = json.optionalNumber(s("maxMomentaryLufs"));
    l.loudnessHistory = AnalysisLoudnessHistory::read(json.raw(s("loudnessHistory")));
    return l;
}

std::optional<AnalysisLoudnessHistory> AnalysisLoudnessHistory::read(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    AnalysisLoudnessHistory history;
    // Keys of an extension the service may send in either case.
    const auto field = [&](const char *snake, const char *camel) {
        const QJsonValue value = object.value(QLatin1String(snake));
        return value.isUndefined() ? object.value(QLatin1String(camel)) : value;
    };
    const QJsonValue step = field("step_sec", "stepSec");
    if (!step.isDouble() || !std::isfinite(step.toDouble()) || step.toDouble() <= 0)
        return std::nullopt;
    history.stepSec = step.toDouble();
    const auto series = [](const QJsonValue &value) {
        QList<std::optional<double>> points;
        const QJsonArray array = value.toArray();
        // A hostile document must not make the page draw millions of points.
        const qsizetype count = std::min(array.size(), kMaxPoints);
        points.reserve(count);
        for (qsizetype i = 0; i < count; ++i) {
            const QJsonValue point = array[i];
            points.append(point.isDouble() && std::isfinite(point.toDouble()) ? std::optional<double>(point.toDouble())
                                                                              : std::nullopt);
        }
        return points;
    };
    history.momentaryLufs = series(field("momentary_lufs", "momentaryLufs"));
    history.shortTermLufs = series(field("short_term_lufs", "shortTermLufs"));
    if (history.size() == 0)
        return std::nullopt;
    return history;
}

AnalysisPayload AnalysisPayload::fromJson(const JsonReader &json)
{
    AnalysisPayload p;
    p.workflow = json.optionalString(s("workflow"));
    p.generatedAt = json.optionalString(s("generatedAt"));
    p.file = record<AnalysisFileInfo>(json, s("file"));
    p.engine = record<AnalysisEngineInfo>(json, s("engine"));
    p.container = record<AnalysisContainer>(json, s("container"));
    p.audioStreams = records<AnalysisStream>(json, s("audioStreams"));
    p.otherStreams = records<AnalysisStream>(json, s("otherStreams"));
    p.chapters = records<AnalysisChapter>(json, s("chapters"));
    p.levels = record<AnalysisLevels>(json, s("levels"));
    p.loudness = record<AnalysisLoudness>(json, s("loudness"));
    return p;
}

JobInfo JobInfo::fromJson(const JsonReader &json)
{
    JobInfo job;
    job.status = json.optionalString(s("status"));
    job.errorSummary = json.optionalString(s("errorSummary"));
    job.analysis = record<AnalysisPayload>(json, s("analysis"));
    job.outputReport = json.optionalString(s("outputReport"));
    return job;
}

JobInfo JobInfo::decode(const QByteArray &bytes)
{
    return fromJson(JsonReader::parse(bytes).convertingSnakeCase());
}

bool JobInfo::isFinal() const
{
    const QString upper = status.value_or(QString()).toUpper();
    return upper == u"COMPLETED" || upper == u"FAILED" || upper == u"CANCELLED";
}

} // namespace hoplin
