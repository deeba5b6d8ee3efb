#include "TestSupport.h"
#include "web/DropRouter.h"

#include <QTest>

using namespace hoplin;

namespace {

const QList<QUrl> kFiles = {QUrl::fromLocalFile("/tmp/a.wav"), QUrl::fromLocalFile("/tmp/b c.mov")};

// A handler that notes who received which drop where.
DropRouter::Handler recorder(QStringList &received, const QString &name)
{
    return [&received, name](const QList<QUrl> &files, const QPointF &point) {
        received << QStringLiteral("%1 at %2,%3").arg(name).arg(point.x()).arg(point.y());
        QCOMPARE(files, kFiles);
    };
}

} // namespace

class TestDropRouter : public QObject {
    Q_OBJECT

private slots:
    // A drop that reached a native page (Convert or Analysis) goes on to the web tab showing.
    void dropOnNativePage_data()
    {
        QTest::addColumn<bool>("ownTabSelected");
        QTest::addColumn<bool>("webTabActive");
        QTest::addColumn<bool>("correctionActive");
        QTest::addColumn<QStringList>("handlers");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("receiver"); // empty: nobody

        const int here = int(DropRouter::PageDrop::HandleHere);
        const int forwarded = int(DropRouter::PageDrop::Forwarded);
        const int refused = int(DropRouter::PageDrop::Refused);
        const QStringList both{"correction", "cinema"};
        QTest::newRow("own tab wins even if the router says web") << true << true << true << both << here << "";
        QTest::newRow("under Correction") << false << true << true << both << forwarded << "correction";
        QTest::newRow("under Cinema") << false << true << false << both << forwarded << "cinema";
        QTest::newRow("under Correction, its handler missing: falls to Cinema")
            << false << true << true << QStringList{"cinema"} << forwarded << "cinema";
        QTest::newRow("under Cinema, only Correction registered")
            << false << true << false << QStringList{"correction"} << forwarded << "";
        QTest::newRow("another native page showing") << false << false << false << both << refused << "";
    }
    void dropOnNativePage()
    {
        QFETCH(bool, ownTabSelected);
        QFETCH(bool, webTabActive);
        QFETCH(bool, correctionActive);
        QFETCH(QStringList, handlers);
        QFETCH(int, outcome);
        QFETCH(QString, receiver);

        DropRouter router;
        QStringList received;
        router.setWebTabActive(webTabActive);
        router.setCorrectionActive(correctionActive);
        if (handlers.contains("correction"))
            router.setCorrectionHandler(recorder(received, "correction"));
        if (handlers.contains("cinema"))
            router.setCinemaHandler(recorder(received, "cinema"));

        QCOMPARE(int(router.dropOnPage(ownTabSelected, kFiles)), outcome);
        // A location on a hidden page means nothing to the web page.
        QCOMPARE(received, receiver.isEmpty() ? QStringList() : QStringList{receiver + " at 0,0"});
    }

    void routeKeepsThePointAndAllowsUnregistering()
    {
        DropRouter router;
        QStringList received;
        QVERIFY(!router.route(kFiles));
        router.setCinemaHandler(recorder(received, "cinema"));
        router.setCorrectionHandler([&](const QList<QUrl> &files, const QPointF &point) {
            recorder(received, "correction")(files, point);
            router.setCorrectionHandler({}); // a closing web tab
        });

        QVERIFY(router.route(kFiles, QPointF(12, 34)));
        QVERIFY(!router.hasCorrectionHandler());
        QVERIFY(router.route(kFiles, QPointF(5, 6)));
        QCOMPARE(received, (QStringList{"correction at 12,34", "cinema at 5,6"}));
    }
};

HOPLIN_TEST_MAIN(TestDropRouter)
#include "tst_droprouter.moc"
