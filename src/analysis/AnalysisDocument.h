#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <optional>

namespace hoplin {

class JsonReader;

// Analysis tools deliver counts, rates and sizes sometimes as numbers and sometimes as numeric
// text; these wrappers read either and never fail. A present wrapper with no value means the key
// was there but unreadable.
struct LooseInt {
    std::optional<qint64> value;

    static LooseInt read(const QJsonValue &json);
    bool operator==(const LooseInt &) const = default;
};

struct LooseDouble {
    std::optional<double> value;

    static LooseDouble read(const QJsonValue &json);
    bool operator==(const LooseDouble &) const = default;
};

// The display text of an arbitrary JSON value, for tag dictionaries that are not all text.
struct AnyDecodable {
    QString displayString;

    static AnyDecodable read(const QJsonValue &json);
    bool operator==(const AnyDecodable &) const = default;
};

// A tag dictionary. Keys stay exactly as sent; an object of anything becomes text values, any
// other JSON value an empty dictionary.
struct LooseTags {
    QMap<QString, QString> values;

    static LooseTags read(const QJsonValue &json);
    bool operator==(const LooseTags &) const = default;
};

// The shortest decimal text that reads back as the same double ("0.5", "44.1", "5e-05").
QString shortestText(double value);

struct AnalysisFileInfo {
    std::optional<QString> name;

    static AnalysisFileInfo fromJson(const JsonReader &json);
    bool operator==(const AnalysisFileInfo &) const = default;
};

struct AnalysisEngineInfo {
    std::optional<QString> ffprobe;
    std::optional<QString> ffmpeg;
    std::optional<QString> measurementBackend;

    static AnalysisEngineInfo fromJson(const JsonReader &json);
    bool operator==(const AnalysisEngineInfo &) const = default;
};

struct AnalysisContainer {
    std::optional<QString> formatName;
    std::optional<QString> formatLongName;
    std::optional<QString> displayName;
    std::optional<LooseDouble> durationSec;
    std::optional<QString> durationHms;
    std::optional<LooseDouble> bitRateBps;
    std::optional<LooseDouble> sizeBytes;
    std::optional<LooseInt> nbStreams;
    std::optional<LooseDouble> probeScore;
    std::optional<LooseTags> tags;

    static AnalysisContainer fromJson(const JsonReader &json);
    bool operator==(const AnalysisContainer &) const = default;
};

// One stream; audio and other streams share the record.
struct AnalysisStream {
    std::optional<LooseInt> index;
    std::optional<QString> codecType;
    std::optional<QString> codecName;
    std::optional<QString> codecLongName;
    std::optional<QString> codecTagString;
    std::optional<LooseDouble> sampleRateHz;
    std::optional<LooseInt> channels;
    std::optional<QString> channelLayout;
    std::optional<QString> sampleFmt;
    std::optional<LooseInt> bitsPerSample;
    std::optional<LooseInt> bitsPerRawSample;
    std::optional<LooseInt> bitDepth;
    std::optional<LooseDouble> bitRateBps;
    std::optional<LooseDouble> effectiveBitRateBps;
    std::optional<LooseDouble> durationSec;
    std::optional<QString> durationHms;
    std::optional<QString> language;
    std::optional<QString> title;
    std::optional<LooseTags> tags;

    static AnalysisStream fromJson(const JsonReader &json);
    bool operator==(const AnalysisStream &) const = default;
};

struct AnalysisChapter {
    std::optional<LooseInt> id;
    std::optional<LooseDouble> startSec;
    std::optional<LooseDouble> endSec;
    std::optional<QString> startHms;
    std::optional<QString> endHms;
    std::optional<QString> title;

    static AnalysisChapter fromJson(const JsonReader &json);
    bool operator==(const AnalysisChapter &) const = default;
};

// Sample statistics of the whole file, in dBFS where a level.
struct AnalysisLevels {
    std::optional<double> peakDbfs;
    std::optional<double> astatsPeakDbfs;
    std::optional<double> rmsDbfs;
    std::optional<double> noiseFloorDbfs;
    std::optional<double> flatFactor;
    std::optional<LooseInt> peakCount;
    std::optional<LooseInt> sampleCount;

    static AnalysisLevels fromJson(const JsonReader &json);
    bool operator==(const AnalysisLevels &) const = default;
};

// Momentary and short-term loudness over time, for the graph. Point i belongs to the window that
// ends at (i + 1) * stepSec; an absent point had no full window or only silence. Read leniently:
// a malformed history is dropped, never fails the document.
struct AnalysisLoudnessHistory {
    static constexpr qsizetype kMaxPoints = 36000;

    double stepSec = 0.1;
    QList<std::optional<double>> momentaryLufs;
    QList<std::optional<double>> shortTermLufs;

    static std::optional<AnalysisLoudnessHistory> read(const QJsonValue &json);
    qsizetype size() const { return std::max(momentaryLufs.size(), shortTermLufs.size()); }
    double durationSec() const { return stepSec * double(size()); }
    bool operator==(const AnalysisLoudnessHistory &) const = default;
};

// Loudness per EBU R128 / ITU-R BS.1770.
struct AnalysisLoudness {
    std::optional<double> integratedLufs;
    std::optional<double> thresholdLufs;
    std::optional<double> lraLu;
    std::optional<double> lraLowLufs;
    std::optional<double> lraHighLufs;
    std::optional<double> truePeakDbfs;
    std::optional<double> maxShortTermLufs;
    std::optional<double> maxMomentaryLufs;
    std::optional<AnalysisLoudnessHistory> loudnessHistory;

    static AnalysisLoudness fromJson(const JsonReader &json);
    bool operator==(const AnalysisLoudness &) const = default;
};

struct AnalysisPayload {
    std::optional<QString> workflow;
    std::optional<QString> generatedAt; // as the service wrote it; never parsed
    std::optional<AnalysisFileInfo> file;
    std::optional<AnalysisEngineInfo> engine;
    std::optional<AnalysisContainer> container;
    std::optional<QList<AnalysisStream>> audioStreams;
    std::optional<QList<AnalysisStream>> otherStreams;
    std::optional<QList<AnalysisChapter>> chapters;
    std::optional<AnalysisLevels> levels;
    std::optional<AnalysisLoudness> loudness;

    static AnalysisPayload fromJson(const JsonReader &json);
    bool operator==(const AnalysisPayload &) const = default;
};

// The service's job document. Keys arrive in snake case; strict fields of the wrong JSON type
// fail the whole document.
struct JobInfo {
    std::optional<QString> status;
    std::optional<QString> errorSummary;
    std::optional<AnalysisPayload> analysis;
    std::optional<QString> outputReport;

    // Throws DecodingError naming the offending key.
    static JobInfo decode(const QByteArray &bytes);
    static JobInfo fromJson(const JsonReader &json);
    // "COMPLETED", "FAILED" or "CANCELLED" in any letter case.
    bool isFinal() const;
    bool operator==(const JobInfo &) const = default;
};

} // namespace hoplin
