// What the upload takes from a dropped path, and how private its copy is.
#include "TestSupport.h"
#include "analysis/AnalysisAPI.h"
#include "service/Error.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>
#include <unistd.h>

using namespace hoplin;

class TestUploadBody : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString bytesFile(const QString &name, qint64 size)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QByteArray(size, 'a')) != size)
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void onlyRegularFilesAreTaken_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error"); // empty: taken
        QTest::newRow("fifo named .wav") << "fifo" << "is not a regular file";
        QTest::newRow("symlink to /dev/zero") << "zero" << "is not a regular file";
        QTest::newRow("a folder") << "folder" << "is not a regular file";
        QTest::newRow("symlink to a regular file") << "link" << "";
    }
    void onlyRegularFilesAreTaken()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const QString path = m_dir.filePath(kind + ".wav");
        QFile::remove(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "zero")
            QVERIFY(QFile::link("/dev/zero", path));
        else if (kind == "folder")
            QVERIFY(QDir().mkpath(path));
        else
            QVERIFY(QFile::link(bytesFile("real.wav", 10), path));
        const QString body = m_dir.filePath("body-" + kind);

        QElapsedTimer clock;
        clock.start();
        QString message;
        try {
            Multipart::writeBody(path, body, "B");
        } catch (const Error &failure) {
            message = failure.description();
        }
        if (error.isEmpty()) {
            QCOMPARE(message, QString());
            QVERIFY(QFile(body).size() > 10);
        } else {
            QVERIFY2(message.contains(error), qPrintable(message));
            QVERIFY(message.contains(kind + ".wav"));
            // Refused before anything was copied.
            QVERIFY(!QFile::exists(body) || QFile(body).size() == 0);
        }
    }

    void limitHoldsForTheBytesCopied_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("taken");
        QTest::newRow("at the limit") << qint64(3000) << true;
        QTest::newRow("one byte over") << qint64(3001) << false;
        QTest::newRow("several chunks over") << qint64(3 * Multipart::chunkBytes) << false;
    }
    void limitHoldsForTheBytesCopied()
    {
        QFETCH(qint64, size);
        QFETCH(bool, taken);
        const QString audio = bytesFile("sized.wav", size);
        const QString body = m_dir.filePath("sized.multipart");
        bool refused = false;
        try {
            Multipart::writeBody(audio, body, "B", nullptr, 3000);
        } catch (const Error &failure) {
            refused = true;
            QCOMPARE(failure.domain(), QStringLiteral("Hoplin"));
            QCOMPARE(failure.code(), Multipart::tooLargeCode);
        }
        QCOMPARE(refused, !taken);
        // Never more than the limit and one chunk reaches the disk.
        QVERIFY(QFile(body).size() <= 3000 + Multipart::chunkBytes + 200);
    }

    void bodyIsPrivate_data()
    {
        QTest::addColumn<bool>("existedBefore");
        QTest::newRow("new body") << false;
        QTest::newRow("replacing a readable file") << true;
    }
    void bodyIsPrivate()
    {
        QFETCH(bool, existedBefore);
        const QString body = m_dir.filePath(QStringLiteral("private-%1.multipart").arg(existedBefore));
        if (existedBefore) {
            bytesFile(QFileInfo(body).fileName(), 3);
            QVERIFY(QFile::setPermissions(body, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        }
        const mode_t previous = ::umask(0);
        Multipart::writeBody(bytesFile("secret.wav", 100), body, "B");
        ::umask(previous);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(body).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, mode_t(0600));
    }
};

HOPLIN_TEST_MAIN(TestUploadBody)
#include "tst_uploadbody.moc"
