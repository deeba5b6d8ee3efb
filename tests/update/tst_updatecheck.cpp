// Versions, manifests and their validation, the check against the local service and the schedule.
#include "UpdateTestUtil.h"

#include "platform/Settings.h"
#include "service/Error.h"
#include "update/UpdateManager.h"
#include "update/Version.h"
#include "version.h"

#include "../../bench/BenchMemory.h"

#include <QTest>

using namespace hoplin;
using namespace hoplin::test;

Q_DECLARE_METATYPE(hoplin::Phase)

namespace {

const QString kDigest = QString(64, QLatin1Char('a'));

Settings &settings()
{
    return Settings::shared();
}

} // namespace

class TestUpdateCheck : public QObject {
    Q_OBJECT
    LocalServer m_server;
    QString imageURL() const { return m_server.url(QStringLiteral("/tools/desktop/image.dmg")).toString(); }
    void serve(const QString &version, int build, const QString &dmg = {})
    {
        setServedManifest(m_server, manifestJson(version, build, dmg.isEmpty() ? imageURL() : dmg));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startUpdateService(m_server, "not really an image"));
    }
    void init() { setServedManifest(m_server, std::nullopt); }

    // Parsing and ordering together, against this build, 1.2.22 (25): the version decides first,
    // then the build.
    void versions_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("build");
        QTest::addColumn<QString>("verdict");
        QTest::newRow("same version, same build") << "1.2.22" << 25 << "not newer";
        QTest::newRow("same version, next build") << "1.2.22" << 26 << "newer";
        QTest::newRow("two parts, newer") << "1.3" << 1 << "newer";
        QTest::newRow("leading plus") << "+1.2.23" << 1 << "newer";
        QTest::newRow("lower version, higher build") << "1.2.21" << 400 << "not newer";
        QTest::newRow("higher patch, lower build") << "1.2.23" << 1 << "newer";
        QTest::newRow("empty piece") << "1..2" << 1 << "invalid";
        QTest::newRow("four parts") << "1.2.3.4" << 1 << "invalid";
        QTest::newRow("negative") << "1.-2" << 1 << "invalid";
        QTest::newRow("overflow") << "99999999999.1" << 1 << "invalid";
    }
    void versions()
    {
        QFETCH(QString, version);
        QFETCH(int, build);
        QFETCH(QString, verdict);
        const auto parsed = Version::parse(version);
        QCOMPARE(parsed.has_value(), verdict != QLatin1String("invalid"));
        const Version installed = *Version::parse(QLatin1String(version::kVersion));
        if (parsed)
            QCOMPARE(isNewerRelease(*parsed, build, installed, version::kBuild), verdict == QLatin1String("newer"));
    }

    void manifestDecoding_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("minMacos");
        const QByteArray base = R"("version":"1.2.23","build":26,"dmg":"https://localhost/x.dmg","sha256":"ab")";
        QTest::newRow("snake case key") << "{" + base + R"(,"min_macos":"13.1"})" << true << "13.1";
        QTest::newRow("camel case key") << "{" + base + R"(,"minMacos":"14"})" << true << "14";
        QTest::newRow("build as text") << QByteArray(R"({"version":"1","build":"26","dmg":"d","sha256":"s"})") << false << "";
        QTest::newRow("fractional build") << QByteArray(R"({"version":"1","build":2.5,"dmg":"d","sha256":"s"})") << false << "";
        QTest::newRow("missing sha256") << QByteArray(R"({"version":"1","build":2,"dmg":"d"})") << false << "";
        QTest::newRow("notes not text") << "{" + base + R"(,"notes":7})" << false << "";
        QTest::newRow("not JSON") << QByteArray("<html>") << false << "";
    }
    void manifestDecoding()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        QFETCH(QString, minMacos);
        try {
            const Manifest manifest = Manifest::decode(json);
            QVERIFY(decodes);
            QCOMPARE(manifest.minMacos.value_or(QString()), minMacos);
        } catch (const Error &error) {
            QVERIFY2(!decodes, qPrintable(error.description()));
        }
    }

    // Believed only with a version, a build, a 64-digit digest and an HTTPS image on the manifest's
    // host, the service's host or their www. subdomain.
    void wellFormed_data()
    {
        QTest::addColumn<QString>("dmg");
        QTest::addColumn<int>("build");
        QTest::addColumn<QString>("sha");
        QTest::addColumn<bool>("wellFormed");
        const QString dmg = QStringLiteral("https://updates.example.net/a.dmg");
        QTest::newRow("manifest host") << dmg << 26 << kDigest << true;
        QTest::newRow("service host") << "https://localhost/a.dmg" << 26 << kDigest << true;
        QTest::newRow("www subdomain") << "https://www.localhost:9/a.dmg" << 26 << kDigest << true;
        QTest::newRow("other host") << "https://evil.example.com/a.dmg" << 26 << kDigest << false;
        QTest::newRow("lookalike suffix") << "https://updates.example.net.evil.com/a.dmg" << 26 << kDigest << false;
        QTest::newRow("lookalike prefix") << "https://evilupdates.example.net/a.dmg" << 26 << kDigest << false;
        QTest::newRow("plain http") << "http://updates.example.net/a.dmg" << 26 << kDigest << false;
        QTest::newRow("upper-case scheme") << "HTTPS://updates.example.net/a.dmg" << 26 << kDigest << false;
        QTest::newRow("no host") << "https:///a.dmg" << 26 << kDigest << false;
        QTest::newRow("upper-case digest") << dmg << 26 << QString(64, QLatin1Char('F')) << true;
        QTest::newRow("63 digits") << dmg << 26 << QString(63, QLatin1Char('a')) << false;
        QTest::newRow("65 digits") << dmg << 26 << QString(65, QLatin1Char('a')) << false;
        QTest::newRow("non-hex digit") << dmg << 26 << QString(63, QLatin1Char('a')) + QLatin1Char('g') << false;
        QTest::newRow("build 0") << dmg << 0 << kDigest << false;
    }
    void wellFormed()
    {
        QFETCH(QString, dmg);
        QFETCH(int, build);
        QFETCH(QString, sha);
        QFETCH(bool, wellFormed);
        const Manifest manifest{QStringLiteral("1.2.23"), build, dmg, sha};
        QCOMPARE(isManifestWellFormed(manifest, QUrl(QStringLiteral("https://updates.example.net/latest.json"))),
                 wellFormed);
    }

    // What one check leaves behind when an earlier check had found release 1.3.
    void checkOutcome_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<int>("build");
        QTest::addColumn<QString>("dmg"); // empty: the served image
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("phase");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("available");
        QTest::newRow("newer build") << "1.2.22" << 26 << "" << 200 << int(Phase::Kind::Available) << "" << true;
        QTest::newRow("identical") << "1.2.22" << 25 << "" << 200 << int(Phase::Kind::UpToDate) << "" << false;
        QTest::newRow("malformed version") << "1..2" << 30 << "" << 200 << int(Phase::Kind::UpToDate) << "" << false;
        // A failure keeps the earlier finding.
        QTest::newRow("server error") << "1.3" << 1 << "" << 503 << int(Phase::Kind::Error)
                                      << "The update server is unavailable." << true;
        QTest::newRow("foreign image host") << "1.3" << 1 << "https://evil.example.com/a.dmg" << 200
                                            << int(Phase::Kind::Error)
                                            << "The update server sent an invalid update description." << true;
    }
    void checkOutcome()
    {
        QFETCH(QString, version);
        QFETCH(int, build);
        QFETCH(QString, dmg);
        QFETCH(int, status);
        QFETCH(int, phase);
        QFETCH(QString, message);
        QFETCH(bool, available);
        UpdateManager manager;
        serve(QStringLiteral("1.3"), 1);
        QCOMPARE(runTask(manager.check()).kind, Phase::Kind::Available);
        serve(version, build, dmg);
        if (status != 200)
            m_server.fault(QStringLiteral("GET /tools/desktop/latest.json"), status, "{}");
        const QString successKey = QString::fromLatin1(keys::lastUpdateCheckSuccess);
        settings().remove(successKey);

        const Phase result = runTask(manager.check());
        QCOMPARE(int(result.kind), phase);
        QCOMPARE(result.message, message);
        QCOMPARE(manager.updateAvailable(), available);
        QCOMPARE(manager.latestVersion().has_value(), available);
        // Only a usable answer counts as a successful check.
        const bool usable = phase != int(Phase::Kind::Error) && Version::parse(version).has_value();
        QCOMPARE(settings().contains(successKey), usable);
        m_server.clearFaults();
    }

    // A download, a verified image waiting to be installed and an installation outlast any check.
    void checkLeavesBusyPhases_data()
    {
        QTest::addColumn<Phase>("busy");
        QTest::newRow("downloading") << Phase::downloading(0.4);
        QTest::newRow("downloaded") << Phase::downloaded({"1.2.23", 26, imageURL(), kDigest}, "/x.dmg");
        QTest::newRow("installing") << Phase::installing();
    }
    void checkLeavesBusyPhases()
    {
        QFETCH(Phase, busy);
        UpdateManager manager;
        const QString attemptKey = QString::fromLatin1(keys::lastUpdateCheckAttempt);
        settings().remove(attemptKey);
        manager.setPhaseForTesting(busy);
        QCOMPARE(runTask(manager.check()), busy);
        QVERIFY(!settings().contains(attemptKey));
        // One that was under way when the phase changed leaves it too.
        manager.setPhaseForTesting(Phase::idle());
        auto running = manager.check();
        manager.setPhaseForTesting(busy);
        QCOMPARE(runTask(std::move(running)), busy);
    }

    // The launch check and a second check started with it fetch the description once; an endless
    // description is read to 1 MiB and no further.
    void descriptionFetchedOnceAndBounded()
    {
        const QString route = QStringLiteral("GET /tools/desktop/latest.json");
        m_server.faultRaw({{QStringLiteral("route"), route},
                           {QStringLiteral("status"), 200},
                           {QStringLiteral("fill_bytes"), 256 << 20}});
        const int fetchesBefore = m_server.count(route);
        UpdateManager manager;
        bench::resetPeak();
        const qint64 residentKiB = bench::statusKiB("VmRSS");
        auto first = manager.check();
        auto second = manager.check();
        const Phase phase = runTask(std::move(first), std::chrono::seconds(30));
        QCOMPARE(phase, Phase::error(QStringLiteral("The update description is too large.")));
        QCOMPARE(runTask(std::move(second)), phase);
        QCOMPARE(m_server.count(route) - fetchesBefore, 1);
        const qint64 growthKiB = bench::statusKiB("VmHWM") - residentKiB;
        QVERIFY2(growthKiB < 32 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(growthKiB)));
        m_server.clearFaults();
    }

    // Run as a plain HTTP service, the local service describes its own build, so the app is up to date.
    void plainServiceDescribesItsOwnBuild()
    {
        LocalServer plain;
        QVERIFY(plain.start({QStringLiteral("--update-image"), testHome() + QStringLiteral("/image.dmg")}));
        const QUrl url = plain.url(QStringLiteral("/tools/desktop/latest.json"));
        UpdateManager manager;
        const Manifest manifest = runTask(manager.fetchManifest(url));
        QVERIFY(isManifestWellFormed(manifest, url));
        QCOMPARE(manifest.version, QLatin1String(version::kVersion));
        QCOMPARE(manifest.build, version::kBuild);
    }

    // The schedule: nothing within 24 hours of a success or 6 hours of an attempt.
    void autoCheckSchedule_data()
    {
        QTest::addColumn<int>("successHoursAgo"); // -1: never
        QTest::addColumn<int>("attemptHoursAgo");
        QTest::addColumn<bool>("checks");
        QTest::newRow("never checked") << -1 << -1 << true;
        QTest::newRow("success 23 hours ago") << 23 << -1 << false;
        QTest::newRow("success 25h, attempt 5h") << 25 << 5 << false;
        QTest::newRow("success 25h, attempt 7h") << 25 << 7 << true;
        QTest::newRow("success in the future") << -2 << -1 << false;
        QTest::newRow("attempt in the future") << -1 << -2 << false;
    }
    void autoCheckSchedule()
    {
        QFETCH(int, successHoursAgo);
        QFETCH(int, attemptHoursAgo);
        QFETCH(bool, checks);
        const QDateTime now = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
        const auto store = [&](const char *key, int hoursAgo) {
            const QString name = QString::fromLatin1(key);
            if (hoursAgo == -1)
                settings().remove(name);
            else
                settings().setValue(name, now.addSecs(hoursAgo == -2 ? 3600 : -3600 * hoursAgo));
        };
        store(keys::lastUpdateCheckSuccess, successHoursAgo);
        store(keys::lastUpdateCheckAttempt, attemptHoursAgo);
        const QDateTime attemptBefore = settings().date(QString::fromLatin1(keys::lastUpdateCheckAttempt));
        serve(QStringLiteral("1.2.23"), 26);

        UpdateManager manager;
        manager.setClock([now] { return now; });
        manager.autoCheck();
        const QDateTime attempt = settings().date(QString::fromLatin1(keys::lastUpdateCheckAttempt));
        if (!checks) {
            QCOMPARE(manager.phase().kind, Phase::Kind::Idle);
            QCOMPARE(attempt, attemptBefore);
            return;
        }
        // The attempt is recorded before the check starts.
        QCOMPARE(attempt, now);
        QCOMPARE(manager.phase().kind, Phase::Kind::Checking);
        QVERIFY(waitUntil([&] { return manager.phase().kind != Phase::Kind::Checking; }));
        QCOMPARE(manager.phase().kind, Phase::Kind::Available);
        QVERIFY(!manager.showSheet()); // a scheduled check never opens the sheet itself
    }

    // With a public key, only a manifest carrying its valid signature is believed.
    void signedManifest_data()
    {
        QTest::addColumn<QString>("signature"); // "server": the server's own signature
        QTest::addColumn<bool>("accepted");
        QTest::newRow("valid signature") << "server" << true;
        QTest::newRow("signature of other bytes") << "other" << false;
        QTest::newRow("missing") << "" << false;
    }
    void signedManifest()
    {
        QFETCH(QString, signature);
        QFETCH(bool, accepted);
        LocalServer signer;
        QVERIFY(
            startUpdateServer(signer, testHome() + QStringLiteral("/image.dmg"),
                              {QStringLiteral("--update-signing-key"), testKeyPath(QStringLiteral("signing.pem"))}));
        const QUrl manifestURL = signer.url(QStringLiteral("/tools/desktop/latest.json"));
        if (signature == QLatin1String("other")) {
            const HttpResult real = httpCall("GET", signer.url(QStringLiteral("/tools/desktop/latest.json.sig")));
            setServedManifest(signer, manifestJson(QStringLiteral("1.2.23"), 27, imageURL()), real.body.trimmed());
        } else if (signature.isEmpty()) {
            signer.fault(QStringLiteral("GET /tools/desktop/latest.json.sig"), 404, "{}");
        }

        UpdateManager manager;
        manager.setManifestPublicKey(signingPublicKeyHex());
        try {
            const Manifest manifest = runTask(manager.fetchManifest(manifestURL));
            QVERIFY(accepted);
            QCOMPARE(manifest.version, QStringLiteral("1.2.23"));
        } catch (const Error &error) {
            QVERIFY2(!accepted, qPrintable(error.description()));
            QCOMPARE(error.description(), QStringLiteral("The update description is not signed by the publisher."));
        }
    }
};

HOPLIN_TEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
