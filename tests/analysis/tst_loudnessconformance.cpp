// The local service against the synthesisable signals of EBU Tech 3341/3342, written sample by
// sample and measured through its API; what a signal cannot support must be absent, not stood in.
#include "AnalysisTestUtil.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

struct Tone {
    int rate = 48000;
    QString layout = QStringLiteral("stereo"); // as ffmpeg names it (mono, 5.0, 7.1), or "5c": no mask
    double frequency = 1000;
    double phaseDegrees = 0;
};

// Writes stepped sines, "20@-23|10@-inf" or "20@-28,-28,-24,-30,-30" (seconds@peak level per channel
// or for all) as float WAV on the 24-bit grid (equal crests stay equal; may pass full scale).
bool writeToneWav(const QString &path, const Tone &tone, const QString &segments)
{
    const bool unnamed = tone.layout.endsWith(u'c');
    static const QHash<QString, int> counts{{"mono", 1}, {"stereo", 2}, {"5.0", 5}, {"5.1", 6}, {"7.1", 8}};
    const int channels = unnamed ? tone.layout.chopped(1).toInt() : counts.value(tone.layout);
    QFile raw(path + ".raw");
    if (!raw.open(QIODevice::WriteOnly))
        return false;
    qint64 n = 0;
    const qint64 fade = tone.rate / 200;
    for (const QString &segment : segments.split(u'|', Qt::SkipEmptyParts)) {
        const QStringList levels = segment.section(u'@', 1).split(u',');
        QList<float> block;
        const qint64 count = std::llround(segment.section(u'@', 0, 0).toDouble() * tone.rate);
        for (qint64 i = 0; i < count; ++i, ++n) {
            // A 5 ms fade-in: a step at the start rings between samples, as a true-peak meter sees.
            const double gain = n < fade ? 0.5 - 0.5 * std::cos(M_PI * double(n) / double(fade)) : 1.0;
            const double wave =
                gain * std::sin(2 * M_PI * tone.frequency * double(n) / tone.rate + tone.phaseDegrees * M_PI / 180);
            for (int c = 0; c < channels; ++c) {
                const QString level = levels.size() == 1 ? levels[0] : levels.value(c, "-inf");
                const double x = level == "-inf" ? 0.0 : std::pow(10.0, level.toDouble() / 20) * wave;
                block.append(float(std::round(x * 8388608) / 8388608));
            }
        }
        const auto bytes = qint64(block.size() * sizeof(float));
        if (raw.write(reinterpret_cast<const char *>(block.constData()), bytes) != bytes)
            return false;
    }
    raw.close();
    QProcess wrap;
    wrap.start("ffmpeg", {"-v", "error", "-nostdin", "-y", "-f", "f32le", "-ar", QString::number(tone.rate),
                          "-ch_layout", tone.layout, "-i", raw.fileName(), "-c:a", "pcm_f32le", path});
    const bool wrapped = wrap.waitForFinished(120000) && wrap.exitCode() == 0;
    raw.remove();
    // ffmpeg writes a channel mask past two channels; an empty one names no layout.
    QFile wav(path);
    return wrapped && (!unnamed || (wav.open(QIODevice::ReadWrite) && wav.seek(40) && wav.write("\0\0\0\0", 4) == 4));
}

} // namespace

class TestLoudnessConformance : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    QTemporaryDir m_files;
    QString m_token;

    // Whether `got` lies in "-23±0.1" or "-6+0.2-0.4" (0.2 above, 0.4 below).
    static bool within(double got, const QString &range)
    {
        static const QRegularExpression form(R"(^(-?[\d.]+)(?:±([\d.]+)|\+([\d.]+)-([\d.]+))$)");
        const QRegularExpressionMatch m = form.match(range);
        const double above = m.captured(2).isEmpty() ? m.captured(3).toDouble() : m.captured(2).toDouble();
        const double below = m.captured(2).isEmpty() ? m.captured(4).toDouble() : above;
        const double want = m.captured(1).toDouble();
        return m.hasMatch() && got <= want + above + 1e-9 && got >= want - below - 1e-9;
    }

    // "integrated_lufs=-23±0.1", "lra_lu=absent", "levels.peak_count=24000±0", or the start of a
    // text: "channel_weighting^5.0 (assumed)". Keys without a record name are loudness keys.
    static void check(const QJsonObject &analysis, const QString &expectation)
    {
        const QChar sign = expectation.contains(u'^') ? u'^' : u'=';
        const QString name = expectation.section(sign, 0, 0), range = expectation.section(sign, 1);
        const QJsonValue value =
            analysis.value(name.contains(u'.') ? name.section(u'.', 0, 0) : QStringLiteral("loudness"))
                .toObject()
                .value(name.section(u'.', -1));
        if (sign == u'^')
            QVERIFY2(value.toString().startsWith(range), qPrintable(expectation + " but got " + value.toString()));
        else if (range == u"absent")
            QVERIFY2(value.isUndefined(), qPrintable(expectation + " but got " + QString::number(value.toDouble())));
        else
            QVERIFY2(value.isDouble() && within(value.toDouble(), range),
                     qPrintable(QStringLiteral("%1: got %2").arg(expectation).arg(value.toDouble(), 0, 'f', 4)));
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
        QTest::addColumn<QString>("segments");
        QTest::addColumn<QString>("checks");
        const auto row = [](const char *name, int rate, const char *layout, const QString &segments, const char *checks,
                            double frequency = 1000, double phase = 0) {
            QTest::newRow(name) << rate << QString(layout) << frequency << phase << segments << QString(checks);
        };
        // Tech 3341: a stereo 1 kHz sine at X dBFS reads X LUFS.
        row("3341-1 -23 dBFS", 48000, "stereo", "20@-23",
            "integrated_lufs=-23±0.1;max_momentary_lufs=-23±0.1;max_short_term_lufs=-23±0.1");
        row("3341-3 relative gate", 48000, "stereo", "10@-36|60@-23|10@-36", "integrated_lufs=-23±0.1");
        row("3341-4 absolute gate", 48000, "stereo", "10@-72|10@-36|60@-23|10@-36|10@-72", "integrated_lufs=-23±0.1");
        row("3341-6 5.0 weights", 48000, "5.0", "20@-28,-28,-24,-30,-30", "integrated_lufs=-23±0.1");
        // Without a channel mask, the layout ffmpeg guesses: 4.0 (no surround pair), 5.0, 7.1.
        row("3341-6 without a mask", 48000, "5c", "20@-28,-28,-24,-30,-30",
            "integrated_lufs=-23±0.1;channel_weighting^5.0 (assumed): ");
        row("4 channels without a mask", 48000, "4c", "20@-26",
            "integrated_lufs=-23±0.1;channel_weighting^4.0 (assumed)");
        row("8 channels without a mask", 48000, "8c", "20@-28,-28,-24,-10,-inf,-inf,-30,-30",
            "integrated_lufs=-23±0.1");
        // BS.1770 weights 1.41 from 60° to 120° off centre: in 7.1 the side pair (about 90°),
        // not the back pair (135° to 150°).
        row("7.1 side and back pairs", 48000, "7.1", "20@-inf,-inf,-inf,-inf,-26,-26,-27.5,-27.5",
            "integrated_lufs=-23±0.1");
        // Cases 9 and 12: the 3 s and 400 ms windows always hold the same mix of two levels.
        row("3341-9 short-term steady", 48000, "stereo", QString("1.34@-20|1.66@-30|").repeated(20),
            "max_short_term_lufs=-23±0.1;history.short_term=-23±0.1");
        row("3341-12 momentary steady", 48000, "stereo", QString("0.18@-20|0.22@-30|").repeated(50),
            "max_momentary_lufs=-23±0.1;history.momentary=-23±0.1");
        // Cases 10 and 13: bursts that start off any 100 ms grid must still be caught whole.
        row("3341-10 3 s burst", 48000, "stereo", "2.05@-inf|3@-23|2@-inf", "max_short_term_lufs=-23±0.1");
        row("3341-13 400 ms burst", 48000, "stereo", "1.05@-inf|0.4@-23|2@-inf", "max_momentary_lufs=-23±0.1");
        // True peak of quarter/sixth/eighth-rate sines, crests on or between samples: within 0.1 dB.
        row("3341-15 true peak on the crests", 48000, "stereo", "5@-6", "true_peak_dbfs=-6±0.1", 12000, 0);
        row("3341-16 true peak 45 degrees off", 48000, "stereo", "5@-6",
            "true_peak_dbfs=-6±0.1;levels.peak_dbfs=-9.01±0.05", 12000, 45);
        row("3341-17 true peak 60 degrees off", 48000, "stereo", "5@-6", "true_peak_dbfs=-6±0.1", 8000, 60);
        row("3341-18 true peak 67.5 degrees off", 48000, "stereo", "5@-6", "true_peak_dbfs=-6±0.1", 6000, 67.5);
        row("3341-19 true peak over full scale", 48000, "stereo", "5@3.0103",
            "true_peak_dbfs=3±0.1;levels.peak_dbfs=0±0.01", 12000, 45);
        row("true peak 96 kHz", 96000, "stereo", "5@-6", "true_peak_dbfs=-6±0.1", 24000, 45);
        // Tech 3342: loudness range of stepped stereo sines.
        row("3342-1 LRA 10", 48000, "stereo", "20@-20|20@-30", "lra_lu=10±1");
        // Case 6 is a recording; the same steps in 5.1 with a loud LFE, which must not count, stand in.
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
            "integrated_lufs=-23±0.1;lra_lu=absent;lra_low_lufs=absent;lra_high_lufs=absent;"
            "max_short_term_lufs=absent");
        row("300 ms tone", 48000, "stereo", "0.3@-23", "integrated_lufs=absent;max_momentary_lufs=absent");
        // BS.1770 mono: one channel at weight 1, so 3 dB below the same sine on two channels.
        row("mono", 48000, "mono", "10@-20", "integrated_lufs=-23±0.1");
        // Per channel: a crest every other sample, 24,000 a second, less 120 in the 5 ms fade-in.
        row("peak count per channel", 48000, "stereo", "1@-6", "levels.peak_count=23880±0", 12000, 90);
    }

    void conformance()
    {
        QFETCH(int, rate);
        QFETCH(QString, layout);
        QFETCH(double, frequency);
        QFETCH(double, phase);
        QFETCH(QString, segments);
        QFETCH(QString, checks);
        const QString path = m_files.filePath(QStringLiteral("%1.wav").arg(QTest::currentDataTag()));
        QVERIFY(writeToneWav(path, {rate, layout, frequency, phase}, segments));

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
                QVERIFY2(
                    series[i].isDouble() && within(series[i].toDouble(), expectation.section(u'=', 1)),
                    qPrintable(
                        QStringLiteral("%1 at point %2: got %3").arg(expectation).arg(i).arg(series[i].toDouble())));
                ++checked;
            }
            QVERIFY(checked > 10);
        }
    }

    void reportNamesTheWeightingAndTheStreams()
    {
        // Two audio streams: the first is measured, the second only listed.
        const QString a = m_files.filePath("first.wav"), b = m_files.filePath("second.wav");
        QVERIFY(writeToneWav(a, {48000, "mono"}, "3.5@-20"));
        QVERIFY(writeToneWav(b, {48000, "stereo"}, "3.5@-10"));
        const QString both = m_files.filePath("both.mka");
        QProcess mux;
        mux.start("ffmpeg",
                  {"-v", "error", "-nostdin", "-y", "-i", a, "-i", b, "-map", "0", "-map", "1", "-c", "copy", both});
        QVERIFY(mux.waitForFinished(30000) && mux.exitCode() == 0);

        QString jobID;
        const QJsonObject job = test::analysedJob(m_server, m_token, both, &jobID);
        QCOMPARE(job.value("status").toString(), QStringLiteral("COMPLETED"));
        const QJsonObject analysis = job.value("analysis").toObject();
        QCOMPARE(analysis.value("audio_streams").toArray().size(), 2);
        check(analysis, "integrated_lufs=-23±0.1"); // the mono stream, not the louder second one
        const QString text = QString::fromUtf8(test::runTask(APIClient::downloadReport(jobID, m_token)));
        QVERIFY2(text.contains(QRegularExpression("Channel weighting: +mono: one channel, weight 1.0")),
                 qPrintable(text));
        QVERIFY2(text.contains("audio stream #0 only; 1 further audio stream is listed but not measured"),
                 qPrintable(text));
        // The history table: one row per second; no short-term value before 3 s.
        QVERIFY2(text.contains(QRegularExpression(R"(0:00:01 +-2[23]\.\d +—)")), qPrintable(text));
        QVERIFY2(text.contains(QRegularExpression(R"(0:00:0[34] +-2[23]\.\d +-2[23]\.\d)")), qPrintable(text));
        QVERIFY(text.contains(QRegularExpression("Loudness range: +—")));
    }
};

HOPLIN_TEST_MAIN(TestLoudnessConformance)
#include "tst_loudnessconformance.moc"
