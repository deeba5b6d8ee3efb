// Loudness conformance of the local service: the test signals of EBU Tech 3341 (loudness, true
// peak) and Tech 3342 (loudness range) that can be synthesised, written here sample by sample and
// measured through the service's upload and job API. Also the values a signal cannot support,
// which must be absent from the document rather than stand-in numbers.
#include "AnalysisTestUtil.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <limits>

using namespace hoplin;
using namespace std::chrono_literals;

// Test signals written sample by sample: stepped 1 kHz (or any) sines per channel, as 24-bit PCM
// or 32-bit float WAV, with the channel mask that makes ffmpeg name the layout.
namespace hoplin::test {

struct ToneSegment {
    double seconds = 0;
    QList<double> dbfs; // one level per channel, or one for all; -inf is silence
};

// "20@-23|10@-inf" or "20@-28,-28,-24,-30,-30": seconds, then the peak level of each channel.
inline QList<ToneSegment> parseSegments(const QString &text)
{
    QList<ToneSegment> segments;
    for (const QString &part : text.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        ToneSegment segment;
        segment.seconds = part.section(QLatin1Char('@'), 0, 0).toDouble();
        for (const QString &level : part.section(QLatin1Char('@'), 1).split(QLatin1Char(',')))
            segment.dbfs.append(level == QLatin1String("-inf") ? -std::numeric_limits<double>::infinity()
                                                                : level.toDouble());
        segments.append(segment);
    }
    return segments;
}

struct ToneFile {
    int rate = 48000;
    QString layout = QStringLiteral("stereo"); // mono, stereo, 5.0 or 5.1
    double frequency = 1000;
    double phaseDegrees = 0;
    bool floatSamples = false; // 32-bit float lets a sample sit exactly at full scale
};

inline int channelsOf(const QString &layout)
{
    return layout == QLatin1String("mono") ? 1 : layout == QLatin1String("5.0") ? 5 : layout == QLatin1String("5.1") ? 6 : 2;
}

inline bool writeToneWav(const QString &path, const ToneFile &tone, const QList<ToneSegment> &segments)
{
    const int channels = channelsOf(tone.layout);
    const int bytesPer = tone.floatSamples ? 4 : 3;
    qint64 frames = 0;
    for (const ToneSegment &s : segments)
        frames += qint64(std::llround(s.seconds * tone.rate));
    const quint32 dataBytes = quint32(frames * channels * bytesPer);
    const quint32 mask = tone.layout == QLatin1String("5.0") ? 0x37 : tone.layout == QLatin1String("5.1") ? 0x3F : 0;

    QByteArray header;
    const auto u16 = [&](quint16 v) { header.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 2); };
    const auto u32 = [&](quint32 v) { header.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 4); };
    const quint16 format = tone.floatSamples ? 3 : 1;
    const bool extensible = mask != 0;
    header.append("RIFF");
    u32(4 + (8 + (extensible ? 40 : 16)) + 8 + dataBytes);
    header.append("WAVEfmt ");
    u32(extensible ? 40 : 16);
    u16(extensible ? 0xFFFE : format);
    u16(quint16(channels));
    u32(quint32(tone.rate));
    u32(quint32(tone.rate * channels * bytesPer));
    u16(quint16(channels * bytesPer));
    u16(quint16(bytesPer * 8));
    if (extensible) {
        u16(22);
        u16(quint16(bytesPer * 8));
        u32(mask);
        // The sub-format GUID: the format code followed by the fixed tail.
        u16(format);
        header.append("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    }
    header.append("data");
    u32(dataBytes);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(header) != header.size())
        return false;
    QByteArray block;
    qint64 n = 0;
    const double phase = tone.phaseDegrees * M_PI / 180;
    for (const ToneSegment &s : segments) {
        const qint64 count = qint64(std::llround(s.seconds * tone.rate));
        for (qint64 i = 0; i < count; ++i, ++n) {
            // A 5 ms fade-in: a file that starts on a step rings between its samples, which a
            // true-peak meter rightly reports.
            const qint64 fade = tone.rate / 200;
            const double gain = n < fade ? 0.5 - 0.5 * std::cos(M_PI * double(n) / double(fade)) : 1.0;
            const double wave = gain * std::sin(2 * M_PI * tone.frequency * double(n) / tone.rate + phase);
            for (int c = 0; c < channels; ++c) {
                const double level = s.dbfs.size() == 1 ? s.dbfs[0] : s.dbfs.value(c, -INFINITY);
                const double x = std::isinf(level) ? 0.0 : std::pow(10.0, level / 20) * wave;
                if (tone.floatSamples) {
                    const float f = float(x);
                    block.append(reinterpret_cast<const char *>(&f), 4);
                } else {
                    const qint32 v = qint32(std::lround(std::clamp(x, -1.0, 1.0 - 1.0 / 8388608) * 8388608));
                    const char bytes[3] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff)};
                    block.append(bytes, 3);
                }
            }
            if (block.size() >= (1 << 20)) {
                if (file.write(block) != block.size())
                    return false;
                block.clear();
            }
        }
    }
    return file.write(block) == block.size() && file.flush();
}

} // namespace hoplin::test

class TestLoudnessConformance : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;

    // "integrated_lufs=-23±0.1", "true_peak_dbfs=-6+0.2-0.4", "lra_lu=absent",
    // "levels.peak_count=24000"; keys without a record name are loudness keys.
    static void check(const QJsonObject &analysis, const QString &expectation)
    {
        static const QRegularExpression form(
            R"(^(?:(\w+)\.)?(\w+)=(absent|(-?[\d.]+)(?:±([\d.]+)|\+([\d.]+)-([\d.]+))?)$)");
        const QRegularExpressionMatch m = form.match(expectation);
        QVERIFY2(m.hasMatch(), qPrintable(expectation));
        const QString record = m.captured(1).isEmpty() ? QStringLiteral("loudness") : m.captured(1);
        const QJsonObject values = analysis.value(record).toObject();
        const QString key = m.captured(2);
        if (m.captured(3) == "absent") {
            QVERIFY2(!values.contains(key),
                     qPrintable(expectation + " but got " + QString::number(values.value(key).toDouble())));
            return;
        }
        QVERIFY2(values.value(key).isDouble(), qPrintable(expectation + ": no value"));
        const double got = values.value(key).toDouble();
        const double want = m.captured(4).toDouble();
        const double above = m.captured(5).isEmpty() ? m.captured(6).toDouble() : m.captured(5).toDouble();
        const double below = m.captured(5).isEmpty() ? m.captured(7).toDouble() : above;
        QVERIFY2(got <= want + above + 1e-9 && got >= want - below - 1e-9,
                 qPrintable(QStringLiteral("%1: got %2").arg(expectation).arg(got, 0, 'f', 4)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(test::startService(m_server));
        m_token = test::runTask(APIClient::activate(test::LocalServer::demoKey)).accessToken;
    }

    void conformance_data()
    {
        QTest::addColumn<int>("rate");
        QTest::addColumn<QString>("layout");
        QTest::addColumn<double>("frequency");
        QTest::addColumn<double>("phase");
        QTest::addColumn<bool>("floatSamples");
        QTest::addColumn<QString>("segments");
        QTest::addColumn<QString>("checks");
        const auto row = [](const char *name, int rate, const char *layout, const QString &segments, const char *checks,
                            double frequency = 1000, double phase = 0, bool floatSamples = false) {
            QTest::newRow(name) << rate << QString(layout) << frequency << phase << floatSamples << segments
                                << QString(checks);
        };
        // Tech 3341: a stereo 1 kHz sine at X dBFS reads X LUFS.
        row("3341-1 -23 dBFS", 48000, "stereo", "20@-23",
            "integrated_lufs=-23±0.1;max_momentary_lufs=-23±0.1;max_short_term_lufs=-23±0.1");
        row("3341-2 -33 dBFS", 48000, "stereo", "20@-33",
            "integrated_lufs=-33±0.1;max_momentary_lufs=-33±0.1;max_short_term_lufs=-33±0.1");
        row("3341-3 relative gate", 48000, "stereo", "10@-36|60@-23|10@-36", "integrated_lufs=-23±0.1");
        row("3341-4 absolute gate", 48000, "stereo", "10@-72|10@-36|60@-23|10@-36|10@-72", "integrated_lufs=-23±0.1");
        row("3341-5 step", 48000, "stereo", "20@-26|20.1@-20|20@-26", "integrated_lufs=-23±0.1");
        row("3341-6 5.0 weights", 48000, "5.0", "20@-28,-28,-24,-30,-30", "integrated_lufs=-23±0.1");
        // Cases 9 and 12: the 3 s and 400 ms windows always hold the same mix of two levels.
        row("3341-9 short-term steady", 48000, "stereo", QString("1.34@-20|1.66@-30|").repeated(20),
            "max_short_term_lufs=-23±0.1;history.short_term=-23±0.1");
        row("3341-12 momentary steady", 48000, "stereo", QString("0.18@-20|0.22@-30|").repeated(50),
            "max_momentary_lufs=-23±0.1;history.momentary=-23±0.1");
        // Cases 10 and 13: bursts that start off any 100 ms grid must still be caught whole.
        row("3341-10 3 s burst", 48000, "stereo", "2.05@-inf|3@-23|2@-inf", "max_short_term_lufs=-23±0.1");
        row("3341-13 400 ms burst", 48000, "stereo", "1.05@-inf|0.4@-23|2@-inf", "max_momentary_lufs=-23±0.1");
        row("400 ms burst at -20 dBFS", 48000, "stereo", "1.005@-inf|0.4@-20|1.6@-inf", "max_momentary_lufs=-20±0.1");
        row("400 ms burst at 44.1 kHz", 44100, "stereo", "0.733@-inf|0.4@-20|1.6@-inf", "max_momentary_lufs=-20±0.1");
        // True peak: a quarter-rate sine sampled 45° off its crests hides 3 dB between samples.
        row("3341-15 true peak 48 kHz", 48000, "stereo", "5@-6", "true_peak_dbfs=-6+0.2-0.4;levels.peak_dbfs=-9.01±0.05",
            12000, 45);
        row("3341-16 true peak on samples", 48000, "stereo", "5@-6", "true_peak_dbfs=-6+0.2-0.4;levels.peak_dbfs=-6±0.01",
            12000, 0);
        row("3341-17 true peak 96 kHz", 96000, "stereo", "5@-6", "true_peak_dbfs=-6+0.2-0.4", 24000, 45);
        row("3341-18 true peak sixth rate", 48000, "stereo", "5@-6", "true_peak_dbfs=-6+0.2-0.4", 8000, 0);
        row("3341-19 true peak over full scale", 48000, "stereo", "5@3.0103",
            "true_peak_dbfs=3+0.2-0.4;levels.peak_dbfs=0±0.01", 12000, 45, true);
        // Tech 3342: loudness range of stepped stereo sines.
        row("3342-1 LRA 10", 48000, "stereo", "20@-20|20@-30", "lra_lu=10±1");
        row("3342-2 LRA 5", 48000, "stereo", "20@-20|20@-15", "lra_lu=5±1");
        row("3342-3 LRA 20", 48000, "stereo", "20@-40|20@-20", "lra_lu=20±1");
        row("3342-4 LRA 15", 48000, "stereo", "20@-50|20@-35|20@-20|20@-35|20@-50", "lra_lu=15±1");
        // Cases 5 and 6 are programme recordings; the same steps in 5.1 with a loud LFE (which
        // must not count) stand in for them.
        row("3342-5 LRA 5 in 5.1", 48000, "5.1", "20@-20,-20,-inf,-6,-inf,-inf|20@-15,-15,-inf,-6,-inf,-inf",
            "lra_lu=5±1");
        row("3342-6 LRA 15 in 5.1", 48000, "5.1",
            "20@-50,-50,-inf,-6,-inf,-inf|20@-35,-35,-inf,-6,-inf,-inf|20@-20,-20,-inf,-6,-inf,-inf|"
            "20@-35,-35,-inf,-6,-inf,-inf|20@-50,-50,-inf,-6,-inf,-inf",
            "lra_lu=15±1");

        // What a signal cannot support is absent.
        row("digital silence", 48000, "stereo", "20@-inf",
            "integrated_lufs=absent;threshold_lufs=absent;lra_lu=absent;lra_low_lufs=absent;lra_high_lufs=absent;"
            "true_peak_dbfs=absent;max_momentary_lufs=absent;max_short_term_lufs=absent;levels.peak_dbfs=absent;"
            "levels.rms_dbfs=absent;levels.peak_count=absent");
        row("LFE only", 48000, "5.1", "10@-inf,-inf,-inf,-20,-inf,-inf",
            "integrated_lufs=absent;threshold_lufs=absent;lra_lu=absent;max_momentary_lufs=absent;"
            "true_peak_dbfs=-20+0.2-0.4");
        row("2 s tone", 48000, "stereo", "2@-23",
            "integrated_lufs=-23±0.1;lra_lu=absent;lra_low_lufs=absent;lra_high_lufs=absent;max_short_term_lufs=absent");
        row("3.2 s tone", 48000, "stereo", "3.2@-23",
            "lra_lu=absent;lra_low_lufs=absent;max_short_term_lufs=-23±0.1");
        row("300 ms tone", 48000, "stereo", "0.3@-23", "integrated_lufs=absent;max_momentary_lufs=absent");
        // BS.1770 mono: one channel at weight 1, so 3 dB below the same sine on two channels.
        row("mono", 48000, "mono", "10@-20", "integrated_lufs=-23±0.1");
        // Counts per channel: a quarter-rate sine sampled on its crests peaks every other sample,
        // 24,000 times a second, less the 120 crests of the writer's 5 ms fade-in.
        row("peak count per channel", 48000, "stereo", "1@-6", "levels.peak_count=23880±0", 12000, 90);
    }

    void conformance()
    {
        QFETCH(int, rate);
        QFETCH(QString, layout);
        QFETCH(double, frequency);
        QFETCH(double, phase);
        QFETCH(bool, floatSamples);
        QFETCH(QString, segments);
        QFETCH(QString, checks);
        const QString path = m_files.filePath(QStringLiteral("%1.wav").arg(QTest::currentDataTag()));
        QVERIFY(test::writeToneWav(path, {rate, layout, frequency, phase, floatSamples}, test::parseSegments(segments)));

        const QJsonObject job = test::analysedJob(m_server, m_token, path);
        QCOMPARE(job.value("status").toString(), QStringLiteral("COMPLETED"));
        QJsonObject analysis = job.value("analysis").toObject();
        const QJsonObject history = analysis.value("loudness").toObject().value("loudness_history").toObject();
        for (const QString &expectation : checks.split(u';')) {
            if (!expectation.startsWith("history.")) {
                check(analysis, expectation);
                continue;
            }
            // Every point whose window lies wholly inside the signal.
            const bool shortTerm = expectation.startsWith("history.short_term");
            const QJsonArray series = history.value(shortTerm ? "short_term_lufs" : "momentary_lufs").toArray();
            const double step = history.value("step_sec").toDouble();
            QCOMPARE(step, 0.1);
            const double window = shortTerm ? 3.0 : 0.4;
            int checked = 0;
            for (qsizetype i = 0; i < series.size(); ++i) {
                if ((i + 1) * step < window - 1e-9)
                    continue;
                const QJsonObject point{{"value", series[i]}};
                check(QJsonObject{{"p", point}}, "p.value=" + expectation.section(u'=', 1));
                ++checked;
            }
            QVERIFY(checked > 10);
        }
    }

    void reportNamesTheWeightingAndTheStreams()
    {
        // Two audio streams: the first is measured, the second only listed.
        const QString a = m_files.filePath("first.wav"), b = m_files.filePath("second.wav");
        QVERIFY(test::writeToneWav(a, {48000, "mono"}, test::parseSegments("3.5@-20")));
        QVERIFY(test::writeToneWav(b, {48000, "stereo"}, test::parseSegments("3.5@-10")));
        const QString both = m_files.filePath("both.mka");
        QProcess mux;
        mux.start("ffmpeg", {"-v", "error", "-nostdin", "-y", "-i", a, "-i", b, "-map", "0", "-map", "1", "-c", "copy", both});
        QVERIFY(mux.waitForFinished(30000) && mux.exitCode() == 0);

        QString jobID;
        const QJsonObject job = test::analysedJob(m_server, m_token, both, &jobID);
        QCOMPARE(job.value("status").toString(), QStringLiteral("COMPLETED"));
        const QJsonObject analysis = job.value("analysis").toObject();
        QCOMPARE(analysis.value("audio_streams").toArray().size(), 2);
        check(analysis, "integrated_lufs=-23±0.1"); // the mono stream, not the louder second one
        const QString text = QString::fromUtf8(test::runTask(APIClient::downloadReport(jobID, m_token)));
        QVERIFY2(text.contains(QRegularExpression("Channel weighting: +mono: one channel, weight 1.0")), qPrintable(text));
        QVERIFY2(text.contains("audio stream #0 only; 1 further audio stream is listed but not measured"), qPrintable(text));
        // The history table: one row per second; no short-term value before 3 s.
        QVERIFY2(text.contains(QRegularExpression(R"(0:00:01 +-2[23]\.\d +—)")), qPrintable(text));
        QVERIFY2(text.contains(QRegularExpression(R"(0:00:0[34] +-2[23]\.\d +-2[23]\.\d)")), qPrintable(text));
        QVERIFY(text.contains(QRegularExpression("Loudness range: +—")));
    }
};

HOPLIN_TEST_MAIN(TestLoudnessConformance)
#include "tst_loudnessconformance.moc"
