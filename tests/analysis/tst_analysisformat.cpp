#include "TestSupport.h"
#include "analysis/AnalysisFormat.h"
#include "analysis/AnalysisRunner.h"

#include <QTest>

using namespace hoplin;
using namespace hoplin::AnalysisFormat;

Q_DECLARE_METATYPE(std::optional<QString>)

namespace {

const std::optional<QString> none;

std::optional<QString> text(const char *value)
{
    return QString::fromUtf8(value);
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
    // The one-line texts, worked out in the rows: what each formatter made and what it should.
    void oneLineTexts_data()
    {
        QTest::addColumn<std::optional<QString>>("made");
        QTest::addColumn<std::optional<QString>>("expected");
        const auto bytes = [](std::optional<double> b) { return fmtBytes(LooseDouble{b}); };
        QTest::newRow("1023 bytes") << bytes(1023) << text("1023 bytes");
        QTest::newRow("1024 bytes") << bytes(1024) << text("1.0 KB");
        QTest::newRow("bytes stop at GB") << bytes(2048.0 * 1024 * 1024 * 1024) << text("2048.0 GB");
        QTest::newRow("bytes absent") << fmtBytes(std::nullopt) << none;
        QTest::newRow("bytes unreadable") << bytes(std::nullopt) << none; // shows like an absent value
        const auto channels = [](std::optional<qint64> n, std::optional<QString> layout) {
            return channelLabel({.channels = n ? std::optional(LooseInt{n}) : std::nullopt, .channelLayout = layout});
        };
        QTest::newRow("stereo") << channels(2, "stereo") << text("2 (stereo)");
        QTest::newRow("unknown layout") << channels(2, "unknown") << text("2");
        QTest::newRow("no layout") << channels(1, std::nullopt) << text("1");
        QTest::newRow("no channel count") << channels(std::nullopt, "stereo") << none;
        const auto lra = [](std::optional<double> lu, std::optional<double> low, std::optional<double> high) {
            return lraText({.lraLu = lu, .lraLowLufs = low, .lraHighLufs = high});
        };
        QTest::newRow("whole LRA") << lra(7, std::nullopt, std::nullopt) << text("7.0 LU");
        QTest::newRow("shortest LRA") << lra(6.35, -30, -20) << text("6.35 LU");
        QTest::newRow("LRA at full precision") << lra(15.281467571112419, std::nullopt, std::nullopt)
                                               << text("15.28 LU");
        QTest::newRow("LRA from the ends") << lra(std::nullopt, -30.5, -23) << text("-30.5 … -23.0 LU");
        QTest::newRow("no LRA") << lra(std::nullopt, std::nullopt, -23) << none;
        QTest::newRow("summary of all four") << summaryLine(payload(R"({"loudness": {"integrated_lufs": -23.04},
            "audio_streams": [{"channels": 2, "sample_rate_hz": 48000, "bit_depth": 24}, {"channels": 8}]})"))
                                             << text("48000 Hz · 2 ch · 24-bit · -23.0 LUFS");
        QTest::newRow("summary of channels") << summaryLine(payload(R"({"audio_streams": [{"channels": 1}]})"))
                                             << text("1 ch");
        QTest::newRow("summary of nothing") << summaryLine(AnalysisPayload{}) << none;
        QTest::newRow("no analysis") << summaryLine(std::nullopt) << none;
        // A card's error line: the first non-empty line, cut at 140 user-perceived characters.
        const auto message = [](const QString &m) { return std::optional(AnalysisRunner::shortMessage(m)); };
        const QString x140(140, u'x'), accented = QStringLiteral("e\u0301");
        const QString flag = QString::fromUcs4(U"\U0001F1E9\U0001F1EA");
        QTest::newRow("message of 140") << message(x140) << std::optional(x140);
        QTest::newRow("message of 141 cut") << message(x140 + "y") << std::optional(x140 + "…");
        QTest::newRow("message's first line") << message("\n\nreal reason\nmore") << text("real reason");
        QTest::newRow("combining marks count once") << message(accented.repeated(141))
                                                    << std::optional(accented.repeated(140) + "…");
        QTest::newRow("no flag cut in half") << message(flag.repeated(141)) << std::optional(flag.repeated(140) + "…");
    }
    void oneLineTexts()
    {
        QFETCH(std::optional<QString>, made);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(made, expected);
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
