#include "TestSupport.h"
#include "analysis/AnalysisDocument.h"
#include "service/Json.h"

#include <QTest>

using namespace hoplin;

Q_DECLARE_METATYPE(hoplin::JobInfo)

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
    // What each lenient reading makes of one value, as text ("absent": no value): the numbers and
    // tags, a key as sent, and whether a job status is final.
    void looseValues_data()
    {
        QTest::addColumn<QString>("reader");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *reader, const char *tag, const QByteArray &json, const QString &expected) {
            QTest::addRow("%s: %s", reader, tag) << QString(reader) << json << expected;
        };
        row("key", "snake case", "integrated_lufs", "integratedLufs");
        row("key", "later words lower-cased", "bit_rate_BPS", "bitRateBps");
        row("key", "camel case kept", "integratedLufs", "integratedLufs");
        row("key", "leading and trailing kept", "_sample_rate__", "_sampleRate__");
        row("key", "double underscore", "nb__streams", "nbStreams");
        row("status", "COMPLETED", "COMPLETED", "final");
        row("status", "lower case", "completed", "final");
        row("status", "CANCELLED", "CANCELLED", "final");
        row("status", "RUNNING", "RUNNING", "running");
        row("status", "American spelling is not final", "CANCELED", "running");
        row("status", "absent", {}, "running");
        row("int", "integer", "2", "2");
        row("int", "whole double", "2.0", "2");
        row("int", "fraction is not rounded", "2.5", "absent");
        row("int", "tabs trimmed", "\"\\t-3\\t\"", "-3");
        row("int", "line break not trimmed", "\"5\\n\"", "absent");
        row("int", "trailing letters", "\"42abc\"", "absent");
        row("int", "empty text", "\"\"", "absent");
        row("int", "largest as text", "\"9223372036854775807\"", "9223372036854775807");
        row("int", "beyond 2^53 stays exact", "9007199254740993", "9007199254740993");
        row("int", "overflowing text", "\"9223372036854775808\"", "absent");
        row("int", "overflowing number", "1e19", "absent");
        row("int", "boolean", "true", "absent");
        row("double", "fraction", "-23.5", "-23.5");
        row("double", "padded text", "\" 48000 \"", "48000");
        row("double", "exponent", "\"1e3\"", "1000");
        row("double", "unit", "\"48 kHz\"", "absent");
        row("double", "inf", "\"inf\"", "absent");
        row("double", "hexadecimal", "\"0x10\"", "absent");
        row("double", "overflow", "\"1e400\"", "absent");
        row("double", "empty", "\"\"", "absent");
        row("any", "string", "\"Intro\"", "Intro");
        row("any", "integer", "3", "3");
        row("any", "whole double", "48000.0", "48000");
        row("any", "shortest round trip", "44.1", "44.1");
        row("any", "tiny in exponent form", "0.00005", "5e-05");
        row("any", "beyond 64 bits", "1e300", "1e+300");
        row("any", "null", "null", "");
        row("any", "array", "[1]", "");
    }
    void looseValues()
    {
        QFETCH(QString, reader);
        QFETCH(QByteArray, json);
        QFETCH(QString, expected);
        QString made;
        if (reader == u"key") {
            made = JsonReader::convertFromSnakeCase(QString::fromUtf8(json));
        } else if (reader == u"status") {
            JobInfo job;
            if (!json.isNull())
                job.status = QString::fromUtf8(json);
            made = job.isFinal() ? QStringLiteral("final") : QStringLiteral("running");
        } else if (reader == u"int") {
            const auto read = LooseInt::read(value(json)).value;
            made = read ? QString::number(*read) : QStringLiteral("absent");
        } else if (reader == u"double") {
            const auto read = LooseDouble::read(value(json)).value;
            made = read ? QString::number(*read, 'g', 17) : QStringLiteral("absent");
        } else {
            made = AnyDecodable::read(value(json)).displayString;
        }
        QCOMPARE(made, expected);
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
};

HOPLIN_TEST_MAIN(TestAnalysisDocument)
#include "tst_analysisdocument.moc"
