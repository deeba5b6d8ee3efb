#include "TestSupport.h"
#include "service/APIClient.h"
#include "service/Json.h"
#include "service/Records.h"

#include <QTest>

using namespace hoplin;

namespace {
const QByteArray kPreset =
    R"({"id":"h264","name":"H.264","description":"d","suffix":"_h264","output_ext":".mp4","kind":"video",)"
    R"("command":"ffmpeg -i {input} {output_base}.mp4"})";

QByteArray payloadWith(const QByteArray &preset)
{
    return R"({"version":3,"generated_at":"2026-12-01T00:00:00Z","note":"n","presets":[)" + kPreset + "," + preset +
           "]}";
}

template <typename Record> QString decodeFailure(const QByteArray &json)
{
    try {
        Record::fromJson(JsonReader::parse(json));
    } catch (const DecodingError &error) {
        return error.detail();
    }
    return {};
}
} // namespace

class TestRecords : public QObject {
    Q_OBJECT
private slots:
    void presetsPayloadRejectsWithKeyAndType_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("detail");
        QTest::newRow("fractional channel limit")
            << payloadWith(
                   R"({"id":"n","name":"n","description":"d","suffix":"","output_ext":".wav","kind":"normalise","max_channels":2.5,"command":"ffmpeg"})")
            << R"(key "presets[1].max_channels" expected an integer but found a number)";
        QTest::newRow("missing output_ext")
            << payloadWith(
                   R"({"id":"n","name":"n","description":"d","suffix":"","kind":"normalise","command":"ffmpeg"})")
            << R"(key "presets[1].output_ext" not found)";
    }
    void presetsPayloadRejectsWithKeyAndType()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, detail);
        QCOMPARE(decodeFailure<PresetsPayload>(json), detail);
    }

    void bodyTextRequiresUtf8()
    {
        QCOMPARE(APIClient::bodyText("caf\xc3\xa9"), QStringLiteral("café"));
        QCOMPARE(APIClient::bodyText("\xff\xfe"), QString());
        QCOMPARE(APIClient::bodyText("cut \xc3"), QString());
    }
};

HOPLIN_TEST_MAIN(TestRecords)
#include "tst_records.moc"
