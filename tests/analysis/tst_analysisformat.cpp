#include "TestSupport.h"
#include "analysis/AnalysisFormat.h"

#include <QTest>

using namespace hoplin;
using namespace hoplin::AnalysisFormat;

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<double>)
Q_DECLARE_METATYPE(hoplin::AnalysisStream)
Q_DECLARE_METATYPE(hoplin::AnalysisLoudness)
Q_DECLARE_METATYPE(std::optional<hoplin::AnalysisPayload>)

namespace {

const std::optional<QString> none;

std::optional<QString> text(const char *value)
{
    return QString::fromUtf8(value);
}

AnalysisStream stream(std::optional<qint64> channels, std::optional<QString> layout)
{
    AnalysisStream s;
    if (channels)
        s.channels = LooseInt{channels};
    s.channelLayout = std::move(layout);
    return s;
}

AnalysisLoudness range(std::optional<double> lra, std::optional<double> low, std::optional<double> high)
{
    AnalysisLoudness l;
    l.lraLu = lra;
    l.lraLowLufs = low;
    l.lraHighLufs = high;
    return l;
}

// The analysis part of a job document, read as the app reads it.
AnalysisPayload payload(const QByteArray &analysis)
{
    return *JobInfo::decode(R"({"analysis":)" + analysis + "}").analysis;
}

// A payload with every section, in a deliberately unsorted shape; the second audio stream has no
// index, so it is numbered by its position.
AnalysisPayload fullPayload()
{
    return payload(R"({
        "container": {"format_name": "mov,mp4,m4a", "format_long_name": "QuickTime / MOV",
                      "tags": {"title": "Demo", "Album": "A", "\ud83c\udfb5": "note", "\ue000": "private"}},
        "audio_streams": [
            {"index": 3, "channels": 2, "channel_layout": "stereo", "effective_bit_rate_bps": 128000.4,
             "language": "eng"},
            {"codec_long_name": "PCM signed 16-bit little-endian", "codec_name": "pcm_s16le",
             "bit_rate_bps": 1411200, "effective_bit_rate_bps": 1}],
        "other_streams": [{"codec_type": "data", "index": 1, "codec_name": "bin_data"}, {}],
        "chapters": [
            {"id": 7, "start_hms": "00:00:00.000", "end_hms": "00:00:02.000", "title": "Intro"},
            {"start_hms": "00:00:02.000"}],
        "levels": {"peak_dbfs": -1.004},
        "loudness": {"lra_low_lufs": -30.5, "lra_high_lufs": -23}})");
}

} // namespace

class TestAnalysisFormat : public QObject {
    Q_OBJECT

private slots:
    void fmtBytes_data()
    {
        QTest::addColumn<std::optional<double>>("bytes");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("1023") << std::optional<double>(1023) << text("1023 bytes");
        QTest::newRow("1024") << std::optional<double>(1024) << text("1.0 KB");
        QTest::newRow("stops at GB") << std::optional<double>(2048.0 * 1024 * 1024 * 1024) << text("2048.0 GB");
        QTest::newRow("absent") << std::optional<double>() << none;
    }
    void fmtBytes()
    {
        QFETCH(std::optional<double>, bytes);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AnalysisFormat::fmtBytes(bytes ? std::optional(LooseDouble{bytes}) : std::nullopt), expected);
        // A present but unreadable value shows like an absent one.
        QCOMPARE(AnalysisFormat::fmtBytes(LooseDouble{}), none);
    }

    void channelLabel_data()
    {
        QTest::addColumn<AnalysisStream>("stream");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("stereo") << stream(2, QStringLiteral("stereo")) << text("2 (stereo)");
        QTest::newRow("unknown layout") << stream(2, QStringLiteral("unknown")) << text("2");
        QTest::newRow("no layout") << stream(1, std::nullopt) << text("1");
        QTest::newRow("no channel count") << stream(std::nullopt, QStringLiteral("stereo")) << none;
    }
    void channelLabel()
    {
        QFETCH(AnalysisStream, stream);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AnalysisFormat::channelLabel(stream), expected);
    }

    void lra_data()
    {
        QTest::addColumn<AnalysisLoudness>("loudness");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("whole width") << range(7, std::nullopt, std::nullopt) << text("7.0 LU");
        QTest::newRow("shortest width") << range(6.35, -30, -20) << text("6.35 LU");
        QTest::newRow("full precision, hundredths shown") << range(15.281467571112419, std::nullopt, std::nullopt)
                                                          << text("15.28 LU");
        QTest::newRow("from the ends") << range(std::nullopt, -30.5, -23) << text("-30.5 … -23.0 LU");
        QTest::newRow("nothing") << range(std::nullopt, std::nullopt, -23) << none;
    }
    void lra()
    {
        QFETCH(AnalysisLoudness, loudness);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AnalysisFormat::lraText(loudness), expected);
    }

    void summaryLine_data()
    {
        QTest::addColumn<std::optional<AnalysisPayload>>("analysis");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("all four") << std::optional(payload(R"({"loudness": {"integrated_lufs": -23.04},
            "audio_streams": [{"channels": 2, "sample_rate_hz": 48000, "bit_depth": 24}, {"channels": 8}]})"))
                                  << text("48000 Hz · 2 ch · 24-bit · -23.0 LUFS");
        QTest::newRow("only channels") << std::optional(payload(R"({"audio_streams": [{"channels": 1}]})"))
                                       << text("1 ch");
        QTest::newRow("nothing known") << std::optional(AnalysisPayload{}) << none;
        QTest::newRow("no analysis") << std::optional<AnalysisPayload>() << none;
    }
    void summaryLine()
    {
        QFETCH(std::optional<AnalysisPayload>, analysis);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(AnalysisFormat::summaryLine(analysis), expected);
    }

    void sectionsInOrderWithTheirRows()
    {
        const QList<Section> sections = AnalysisFormat::sections(fullPayload());
        QStringList titles;
        for (const Section &section : sections)
            titles << section.title;
        QCOMPARE(titles, QStringList({"Container", "Audio Stream #3", "Audio Stream #1", "Other Streams", "Metadata",
                                      "Chapters", "Levels", "Loudness (EBU R128 / ITU-R BS.1770)"}));
        QCOMPARE(sections[0].rows.value(0), (Row{"Type", "QuickTime / MOV · mov,mp4,m4a"}));
        // Without a declared rate the measured one shows; the declared one wins over it.
        QCOMPARE(sections[1].rows.value(5), (Row{"Bit rate", "128000 b/s"}));
        QCOMPARE(sections[2].rows.value(5), (Row{"Bit rate", "1411200 b/s"}));
        QCOMPARE(sections[2].rows.size(), 7);
        QCOMPARE(sections[3].rows, (QList<Row>{{"data 1", "bin_data"}, {"stream ?", ""}}));
        QCOMPARE(sections[4].rows.value(0), (Row{"Album", "A"}));
        QCOMPARE(sections[4].rows.value(3), (Row{"\U0001F3B5", "note"})); // by code point, not UTF-16 unit
        const QList<Row> chapters = {{"Chapter 7", "00:00:00.000 → 00:00:02.000  Intro"},
                                     {"Chapter 1", "00:00:02.000 → —"}};
        QCOMPARE(sections[5].rows, chapters);
        QCOMPARE(sections[6].rows, (QList<Row>{{"Peak level", "-1.00 dBFS"}, {"RMS level", none}}));
        QCOMPARE(sections[7].rows.value(1), (Row{"LRA", "-30.5 … -23.0 LU"}));
    }

    void sectionsNeedContent()
    {
        const QList<Section> sections = AnalysisFormat::sections(payload(R"({"other_streams": [], "chapters": [],
            "container": {"duration_sec": 1, "duration_hms": "00:00:01.000", "tags": {}}})"));
        QCOMPARE(sections.size(), 1);
        // The service's own duration text wins over the seconds; a type with no names is empty.
        const QList<Row> expected = {{"Type", ""}, {"Duration", "00:00:01.000"}};
        QCOMPARE(sections[0].rows.mid(0, 2), expected);
        QVERIFY(AnalysisFormat::sections(AnalysisPayload{}).isEmpty());
    }

};

HOPLIN_TEST_MAIN(TestAnalysisFormat)
#include "tst_analysisformat.moc"
