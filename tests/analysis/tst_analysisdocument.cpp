#include "TestSupport.h"
#include "analysis/AnalysisDocument.h"
#include "service/Json.h"

#include <QTest>

using namespace hoplin;

Q_DECLARE_METATYPE(hoplin::JobInfo)
Q_DECLARE_METATYPE(std::optional<qint64>)
Q_DECLARE_METATYPE(std::optional<double>)

namespace {

// One JSON value written as text ("2.0", "\"two\"", "[1]").
QJsonValue value(const QByteArray &json)
{
    return QJsonDocument::fromJson("[" + json + "]").array().first();
}

} // namespace

class TestAnalysisDocument : public QObject {
    Q_OBJECT

private slots:
    void snakeCaseKeys_data()
    {
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("field");
        for (const auto &[sent, field] : {std::pair{"integrated_lufs", "integratedLufs"},
                                          {"bit_rate_BPS", "bitRateBps"},   // later words lower-cased
                                          {"integratedLufs", "integratedLufs"},
                                          {"_sample_rate__", "_sampleRate__"}, // leading and trailing kept
                                          {"nb__streams", "nbStreams"}})
            QTest::newRow(sent) << QString(sent) << QString(field);
    }
    void snakeCaseKeys()
    {
        QFETCH(QString, sent);
        QFETCH(QString, field);
        QCOMPARE(JsonReader::convertFromSnakeCase(sent), field);
    }

    void looseInt_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<qint64>>("expected");
        const std::optional<qint64> absent;
        QTest::newRow("integer") << QByteArray("2") << std::optional<qint64>(2);
        QTest::newRow("whole double") << QByteArray("2.0") << std::optional<qint64>(2);
        QTest::newRow("fraction is not rounded") << QByteArray("2.5") << absent;
        QTest::newRow("text") << QByteArray("\"2\"") << std::optional<qint64>(2);
        QTest::newRow("tabs trimmed") << QByteArray("\"\\t-3\\t\"") << std::optional<qint64>(-3);
        QTest::newRow("line break not trimmed") << QByteArray("\"5\\n\"") << absent;
        QTest::newRow("trailing letters") << QByteArray("\"42abc\"") << absent;
        QTest::newRow("empty text") << QByteArray("\"\"") << absent;
        QTest::newRow("largest as text") << QByteArray("\"9223372036854775807\"")
                                         << std::optional<qint64>(std::numeric_limits<qint64>::max());
        QTest::newRow("beyond 2^53 stays exact")
            << QByteArray("9007199254740993") << std::optional<qint64>(9007199254740993LL);
        QTest::newRow("overflowing text") << QByteArray("\"9223372036854775808\"") << absent;
        QTest::newRow("overflowing number") << QByteArray("1e19") << absent;
        QTest::newRow("boolean") << QByteArray("true") << absent;
    }
    void looseInt()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<qint64>, expected);
        QCOMPARE(LooseInt::read(value(json)).value, expected);
    }

    void looseDouble_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<std::optional<double>>("expected");
        const std::optional<double> absent;
        QTest::newRow("number") << QByteArray("44100") << std::optional<double>(44100);
        QTest::newRow("fraction") << QByteArray("-23.5") << std::optional<double>(-23.5);
        QTest::newRow("text") << QByteArray("\"1.5\"") << std::optional<double>(1.5);
        QTest::newRow("padded text") << QByteArray("\" 48000 \"") << std::optional<double>(48000);
        QTest::newRow("exponent") << QByteArray("\"1e3\"") << std::optional<double>(1000);
        QTest::newRow("unit") << QByteArray("\"48 kHz\"") << absent;
        QTest::newRow("inf") << QByteArray("\"inf\"") << absent;
        QTest::newRow("hexadecimal") << QByteArray("\"0x10\"") << absent;
        QTest::newRow("overflow") << QByteArray("\"1e400\"") << absent;
        QTest::newRow("empty") << QByteArray("\"\"") << absent;
    }
    void looseDouble()
    {
        QFETCH(QByteArray, json);
        QFETCH(std::optional<double>, expected);
        QCOMPARE(LooseDouble::read(value(json)).value, expected);
    }

    void anyDecodable_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("text");
        QTest::newRow("string") << QByteArray("\"Intro\"") << "Intro";
        QTest::newRow("integer") << QByteArray("3") << "3";
        QTest::newRow("whole double") << QByteArray("48000.0") << "48000";
        QTest::newRow("shortest round trip") << QByteArray("44.1") << "44.1";
        QTest::newRow("tiny in exponent form") << QByteArray("0.00005") << "5e-05";
        QTest::newRow("beyond 64 bits") << QByteArray("1e300") << "1e+300";
        QTest::newRow("null") << QByteArray("null") << "";
        QTest::newRow("array") << QByteArray("[1]") << "";
    }
    void anyDecodable()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, text);
        QCOMPARE(AnyDecodable::read(value(json)).displayString, text);
    }

    void documents_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<JobInfo>("expected");

        // The analysis part of a completed job and what it decodes to.
        const auto row = [](const char *tag, const QByteArray &analysis, AnalysisPayload payload) {
            QTest::newRow(tag) << R"({"status":"COMPLETED","analysis":)" + analysis + "}"
                               << JobInfo{.status = "COMPLETED", .analysis = std::move(payload)};
        };
        const AnalysisPayload loud{.loudness = AnalysisLoudness{.integratedLufs = -23}};
        row("only integrated loudness", R"({"loudness":{"integrated_lufs":-23.0}})", loud);
        row("camel-case key", R"({"loudness":{"integratedLufs":-23}})", loud);
        const auto withStream = [](AnalysisStream s) { return AnalysisPayload{.audioStreams = QList{s}}; };
        row("channels as text", R"({"audio_streams":[{"channels":"2"}]})", withStream({.channels = LooseInt{2}}));
        // Present but unreadable is kept apart from absent (the card shows both as "—").
        row("channels fractional", R"({"audio_streams":[{"channels":2.5}]})", withStream({.channels = LooseInt{}}));
        row("channels null", R"({"audio_streams":[{"channels":null}]})", withStream({}));
        // Tag values of any type are kept as text (see anyDecodable).
        row("tag keys keep underscores", R"({"container":{"tags":{"major_brand":"M4A ","minor_version":512}}})",
            {.container = AnalysisContainer{.tags = LooseTags{{{"major_brand", "M4A "}, {"minor_version", "512"}}}}});

        QTest::newRow("failed job, unknown keys ignored")
            << QByteArray(
                   R"({"status":"FAILED","error_summary":"decoder error","output_report":"report.txt","progress":0.5})")
            << JobInfo{.status = "FAILED", .errorSummary = "decoder error", .outputReport = "report.txt"};
        QTest::newRow("null analysis") << QByteArray(R"({"status":"RUNNING","analysis":null})")
                                       << JobInfo{.status = "RUNNING"};
        QTest::newRow("empty document") << QByteArray("{}") << JobInfo{};
    }
    void documents()
    {
        QFETCH(QByteArray, json);
        QFETCH(JobInfo, expected);
        const JobInfo decoded = JobInfo::decode(json);
        QVERIFY(decoded == expected);
    }

    void strictFieldsFailTheDocument_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("detail");
        // The analysis part of a completed job and what is said about it.
        const auto row = [](const char *tag, const QByteArray &analysis, const char *detail) {
            QTest::newRow(tag) << R"({"status":"COMPLETED","analysis":)" + analysis + "}" << QString::fromUtf8(detail);
        };
        row("peak as text", R"({"levels":{"peak_dbfs":"-1.0"}})",
            R"(key "analysis.levels.peak_dbfs" expected a number but found a string)");
        row("loudness as text", R"({"loudness":{"integrated_lufs":"-23"}})",
            R"(key "analysis.loudness.integrated_lufs" expected a number but found a string)");
        row("codec name as number", R"({"audio_streams":[{},{"codec_name":7}]})",
            R"(key "analysis.audio_streams[1].codec_name" expected a string but found a number)");
        row("streams as object", R"({"audio_streams":{}})",
            R"(key "analysis.audio_streams" expected an array but found an object)");
        row("stream not an object", R"({"other_streams":[{},3]})",
            R"(key "analysis.other_streams[1]" expected an object but found a number)");
        row("camel-case key named as sent", R"({"loudness":{"truePeakDbfs":true}})",
            R"(key "analysis.loudness.truePeakDbfs" expected a number but found a boolean)");
        row("analysis as array", "[]", R"(key "analysis" expected an object but found an array)");
        QTest::newRow("status as number")
            << QByteArray(R"({"status":1})") << R"(key "status" expected a string but found a number)";
        QTest::newRow("not an object") << QByteArray("[]")
                                       << "expected a JSON object at the top level but found an array";
    }
    void strictFieldsFailTheDocument()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, detail);
        try {
            JobInfo::decode(json);
            QFAIL("decoded");
        } catch (const DecodingError &error) {
            QCOMPARE(error.detail(), detail);
        }
    }

    void finalStatuses_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("final");
        QTest::newRow("COMPLETED") << "COMPLETED" << true;
        QTest::newRow("lower case") << "completed" << true;
        QTest::newRow("CANCELLED") << "CANCELLED" << true;
        QTest::newRow("RUNNING") << "RUNNING" << false;
        QTest::newRow("American spelling is not final") << "CANCELED" << false;
        QTest::newRow("absent") << QString() << false;
    }
    void finalStatuses()
    {
        QFETCH(QString, status);
        QFETCH(bool, final);
        JobInfo job;
        if (!status.isNull())
            job.status = status;
        QCOMPARE(job.isFinal(), final);
    }
};

HOPLIN_TEST_MAIN(TestAnalysisDocument)
#include "tst_analysisdocument.moc"
