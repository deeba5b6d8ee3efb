// Hostile presets against the real ffmpeg: the fence around the process, not the template check,
// is what keeps a user's other files and the network out of a preset's reach.
#include "ConvertTestUtil.h"
#include "convert/ConvertRunner.h"
#include "convert/FFmpegRun.h"
#include "platform/Sandbox.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <csignal>

using namespace hoplin;
using namespace std::chrono_literals;

class TestSandbox : public QObject {
    Q_OBJECT

    QTemporaryDir m_media;
    std::unique_ptr<QTemporaryDir> m_destination;
    std::unique_ptr<QTemporaryDir> m_elsewhere;

    // Converts one copy of the tone with `command`; returns the finished item.
    QueueItem convert(const QString &command)
    {
        const QString input = m_destination->filePath("tone.wav");
        QFile::copy(m_media.filePath("tone.wav"), input);
        return test::convertWith(input, test::wavPreset(command, "hostile"));
    }

private slots:
    void initTestCase() { QVERIFY(test::synthesise(m_media.filePath("tone.wav"), "sine=frequency=440:duration=1")); }
    void init()
    {
        m_destination = std::make_unique<QTemporaryDir>();
        m_elsewhere = std::make_unique<QTemporaryDir>();
    }

    void writesOutsideTheDestinationFail_data()
    {
        QTest::addColumn<QString>("commandTail");
        QTest::addColumn<bool>("victimExists");
        // {victim} stands for a path outside the destination.
        QTest::newRow("replaces a file") << "-i {input} -f wav {victim}" << true;
        QTest::newRow("second output creates a file")
            << "-i {input} -c:a pcm_s16le {output_base}.wav -f wav {victim}" << false;
        QTest::newRow("relative path climbs out") << "-i {input} -f wav ../{victimName}" << true;
    }
    void writesOutsideTheDestinationFail()
    {
        if (!platform::Sandbox::status().filesystem)
            QSKIP(qPrintable("no Landlock here: " + platform::Sandbox::status().reason));
        QFETCH(QString, commandTail);
        QFETCH(bool, victimExists);
        // The victim sits beside the destination so that "../" reaches it too.
        QDir parent(m_elsewhere->path());
        parent.mkdir("destination");
        m_destination = std::make_unique<QTemporaryDir>(parent.filePath("destination/XXXXXX"));
        const QString victim = QFileInfo(m_destination->path()).path() + "/precious.m4a";
        if (victimExists)
            test::writeFile(victim, "the user's own recording");
        const QString tail = QString(commandTail).replace("{victimName}", "precious.m4a").replace("{victim}", victim);

        const QueueItem item = convert("ffmpeg -hide_banner -nostdin -y " + tail);
        QVERIFY2(item.status.startsWith("✗ Failed"), qPrintable(item.status));
        QVERIFY2(item.errorDetail.value_or("").contains("Permission denied"),
                 qPrintable(item.errorDetail.value_or("")));
        if (victimExists)
            QCOMPARE(test::contents(victim), QByteArray("the user's own recording"));
        else
            QVERIFY(!QFileInfo::exists(victim));
        QCOMPARE(test::entries(m_destination->path()), QStringList{"tone.wav"});
    }

    void networkIsUnreachable_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::newRow("tcp") << "tcp";
        QTest::newRow("udp") << "udp";
    }
    void networkIsUnreachable()
    {
        if (!platform::Sandbox::status().network)
            QSKIP(qPrintable("no network fence here: " + platform::Sandbox::status().reason));
        QFETCH(QString, protocol);
        QTcpServer tcp;
        QUdpSocket udp;
        bool reached = false;
        connect(&udp, &QUdpSocket::readyRead, this, [&] { reached = true; });
        connect(&tcp, &QTcpServer::newConnection, this, [&] { reached = true; });
        QVERIFY(udp.bind(QHostAddress::LocalHost, 0) && tcp.listen(QHostAddress::LocalHost, 0));
        const quint16 port = protocol == "udp" ? udp.localPort() : tcp.serverPort();

        const QueueItem item = convert(QStringLiteral("ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le "
                                                      "{output_base}.wav -f wav %1://127.0.0.1:%2")
                                           .arg(protocol)
                                           .arg(port));
        QVERIFY2(item.status.startsWith("✗ Failed"), qPrintable(item.status));
        // Give a packet or connection that did slip out the time to arrive.
        QTest::qWait(200);
        QVERIFY(!reached);
    }

    void ffmpegDiesWithTheApp()
    {
        QProcess app;
        app.start(SANDBOX_PROBE_BIN, {});
        QVERIFY(app.waitForReadyRead(10000));
        const pid_t child = pid_t(app.readLine().trimmed().toLongLong());
        QVERIFY(child > 0);
        QCOMPARE(::kill(child, 0), 0);
        app.kill();
        QVERIFY(app.waitForFinished(10000));
        // The orphan is reaped by init once the signal has killed it.
        QVERIFY(test::waitUntil([&] { return ::kill(child, 0) != 0; }, 10s));
    }

    void probeAndVersionQueryWriteNothing()
    {
        if (!platform::Sandbox::status().filesystem)
            QSKIP(qPrintable("no Landlock here: " + platform::Sandbox::status().reason));
        // A stand-in ffmpeg that tries to leave a file behind, run the way the probe runs it.
        const QString marker = m_elsewhere->filePath("marker");
        const QString fake = test::stub(m_destination->filePath("ffmpeg"),
                                        "touch '" + marker.toUtf8() + "'\necho 'Audio: pcm, stereo' >&2\nexit 1\n");
        const auto channels = test::runTask(FFmpegRun::probeChannelCount(fake, "/x.wav"));
        QCOMPARE(channels.value_or(-1), 2);
        QVERIFY(!QFileInfo::exists(marker));
    }
};

HOPLIN_TEST_MAIN(TestSandbox)
#include "tst_sandbox.moc"
