#include "TestSupport.h"
#include "web/DropRouter.h"

#include <QTest>

using namespace hoplin;

namespace {

// Which handler received which drop.
struct Recorder {
    QString receiver;
    QList<QUrl> files;
    QPointF point;
    int calls = 0;

    DropRouter::Handler handler(const QString &name)
    {
        return [this, name](const QList<QUrl> &dropped, const QPointF &where) {
            receiver = name;
            files = dropped;
            point = where;
            ++calls;
        };
    }
};

const QList<QUrl> kFiles = {QUrl::fromLocalFile("/tmp/a.wav"), QUrl::fromLocalFile("/tmp/b c.mov")};

} // namespace

class TestDropRouter : public QObject {
    Q_OBJECT

private slots:
    void routeChoosesTheTab_data()
    {
        QTest::addColumn<bool>("correctionActive");
        QTest::addColumn<bool>("correctionHandler");
        QTest::addColumn<bool>("cinemaHandler");
        QTest::addColumn<QString>("receiver"); // empty: nobody

        QTest::newRow("Correction shown, both registered") << true << true << true << "correction";
        QTest::newRow("Correction shown, only Correction registered") << true << true << false << "correction";
        QTest::newRow("Correction shown, its handler missing: falls to Cinema") << true << false << true << "cinema";
        QTest::newRow("Cinema shown, both registered") << false << true << true << "cinema";
        QTest::newRow("Cinema shown, only Correction registered") << false << true << false << "";
        QTest::newRow("nothing registered, Correction shown") << true << false << false << "";
    }

    void routeChoosesTheTab()
    {
        QFETCH(bool, correctionActive);
        QFETCH(bool, correctionHandler);
        QFETCH(bool, cinemaHandler);
        QFETCH(QString, receiver);

        DropRouter router;
        Recorder recorder;
        router.setCorrectionActive(correctionActive);
        if (correctionHandler)
            router.setCorrectionHandler(recorder.handler("correction"));
        if (cinemaHandler)
            router.setCinemaHandler(recorder.handler("cinema"));

        const bool taken = router.route(kFiles, QPointF(12, 34));

        QCOMPARE(taken, !receiver.isEmpty());
        QCOMPARE(recorder.receiver, receiver);
        QCOMPARE(recorder.calls, receiver.isEmpty() ? 0 : 1);
        if (!receiver.isEmpty()) {
            QCOMPARE(recorder.files, kFiles);
            QCOMPARE(recorder.point, QPointF(12, 34));
        }
    }

    // A native page (Convert or Analysis) that a drop reached.
    void dropOnNativePage_data()
    {
        QTest::addColumn<bool>("ownTabSelected");
        QTest::addColumn<bool>("webTabActive");
        QTest::addColumn<bool>("correctionActive");
        QTest::addColumn<bool>("handlers");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("receiver");

        const int here = int(DropRouter::PageDrop::HandleHere);
        const int forwarded = int(DropRouter::PageDrop::Forwarded);
        const int refused = int(DropRouter::PageDrop::Refused);
        QTest::newRow("its own tab is showing") << true << false << false << true << here << "";
        QTest::newRow("own tab wins even if the router says web") << true << true << true << true << here << "";
        QTest::newRow("hidden under Correction") << false << true << true << true << forwarded << "correction";
        QTest::newRow("hidden under Cinema") << false << true << false << true << forwarded << "cinema";
        QTest::newRow("hidden under a web tab, no handlers: still accepted")
            << false << true << true << false << forwarded << "";
        QTest::newRow("Convert showing, drop on hidden Analysis") << false << false << false << true << refused << "";
    }

    void dropOnNativePage()
    {
        QFETCH(bool, ownTabSelected);
        QFETCH(bool, webTabActive);
        QFETCH(bool, correctionActive);
        QFETCH(bool, handlers);
        QFETCH(int, outcome);
        QFETCH(QString, receiver);

        DropRouter router;
        Recorder recorder;
        router.setWebTabActive(webTabActive);
        router.setCorrectionActive(correctionActive);
        if (handlers) {
            router.setCorrectionHandler(recorder.handler("correction"));
            router.setCinemaHandler(recorder.handler("cinema"));
        }

        QCOMPARE(int(router.dropOnPage(ownTabSelected, kFiles)), outcome);
        QCOMPARE(recorder.receiver, receiver);
        if (!receiver.isEmpty()) {
            QCOMPARE(recorder.files, kFiles);
            // A location on a hidden page means nothing to the web page.
            QCOMPARE(recorder.point, QPointF(0, 0));
        }
    }

    void handlerMayUnregisterItselfWhileRunning()
    {
        DropRouter router;
        Recorder cinema;
        int correctionCalls = 0;
        router.setCinemaHandler(cinema.handler("cinema"));
        router.setCorrectionHandler([&](const QList<QUrl> &, const QPointF &) {
            ++correctionCalls;
            router.setCorrectionHandler({}); // a closing web tab
        });

        QVERIFY(router.route(kFiles));
        QVERIFY(!router.hasCorrectionHandler());
        QVERIFY(router.route(kFiles));
        QCOMPARE(correctionCalls, 1);
        QCOMPARE(cinema.calls, 1);
    }
};

HOPLIN_TEST_MAIN(TestDropRouter)
#include "tst_droprouter.moc"
