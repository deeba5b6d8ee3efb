#include "AnalysisTestUtil.h"
#include "GuiTestSupport.h"
#include "analysis/ui/AnalysisCards.h"
#include "analysis/ui/AnalysisView.h"
#include "analysis/ui/CardColumn.h"
#include "platform/Settings.h"
#include "ui/Theme.h"
#include "web/DropRouter.h"

#include <QApplication>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

namespace {

QStringList sectionTitles(QWidget *card)
{
    QStringList titles;
    for (QWidget *section : card->findChildren<QWidget *>("section"))
        titles << section->property("title").toString();
    return titles;
}

} // namespace

class TestAnalysisView : public QObject {
    Q_OBJECT

    test::LocalServer m_server;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<SessionStore> m_store;
    std::unique_ptr<AnalysisView> m_view;

    void showView(bool active = true)
    {
        m_view = std::make_unique<AnalysisView>(*m_store);
        m_view->setActive(active);
        m_view->resize(900, 700);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
    }

    template <typename T> T *child(const char *name)
    {
        T *found = m_view->findChild<T *>(QLatin1String(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }

    QString statusText() { return child<ElidedLabel>("statusText")->fullText(); }

    ItemCard *onlyCard()
    {
        const auto cards = m_view->findChildren<ItemCard *>();
        return cards.size() == 1 ? cards.first() : nullptr;
    }

    // Signs in, shows the page and analyses a real file through it; its card, collapsed.
    ItemCard *analysedCard(const QString &path)
    {
        test::signIn(*m_store);
        showView();
        m_view->enqueue({test::sineFile(path)});
        if (!m_view->runner().isRunning())
            qWarning("the run did not start at once");
        if (!test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s))
            return nullptr;
        return onlyCard();
    }

    QFileDialog *openDialog(const char *name)
    {
        QFileDialog *dialog = nullptr;
        test::waitUntil([&] {
            dialog = m_view->findChild<QFileDialog *>(QLatin1String(name));
            return dialog && dialog->isVisible();
        });
        return dialog;
    }

private slots:
    void initTestCase()
    {
        theme::applyLightTheme(*qApp);
        QVERIFY(test::startService(m_server));
    }
    void init()
    {
        m_server.reset();
        m_files = std::make_unique<QTemporaryDir>();
        m_store = std::make_unique<SessionStore>();
    }
    void cleanup()
    {
        m_view.reset();
        m_store.reset();
        DropRouter::shared().setWebTabActive(true);
        DropRouter::shared().setCorrectionHandler({});
        Settings::shared().remove(keys::connectKey);
        Settings::shared().remove(keys::autoAnalyze);
    }
    void signInHintUntilConnected()
    {
        showView();
        QVERIFY(child<QWidget>("signInHint")->isVisible());
        QVERIFY(!child<QWidget>("dropCard")->isVisible());
        QCOMPARE(statusText(), QStringLiteral("Sign in from the top-right connection menu to start."));
        QCOMPARE(child<QLabel>("connectionLabel")->text(), QStringLiteral("Offline"));

        test::signIn(*m_store);
        QVERIFY(!child<QWidget>("signInHint")->isVisible());
        QVERIFY(child<QWidget>("dropCard")->isVisible());
        QCOMPARE(statusText(), QStringLiteral("Drop audio files to analyse them on the VPS."));
        QCOMPARE(child<QLabel>("connectionLabel")->text(), QStringLiteral("Connected"));
        QCOMPARE(child<QLabel>("analysedCount")->text(), QStringLiteral("Files analysed this session: 0"));
    }

    void analysedCardShowsItsDetailsAndSavesItsReport()
    {
        const QString path = m_files->filePath(QStringLiteral("Take 1.m4a"));
        QVERIFY(test::chapteredM4a(path));
        ItemCard *card = analysedCard(path);
        QVERIFY(card);
        QCOMPARE(card->findChild<QLabel *>("itemStatus")->text(), QStringLiteral("✓ Take 1.m4a"));
        const QString summary = card->findChild<QLabel *>("itemSummary")->text();
        QVERIFY2(QRegularExpression(R"(^44100 Hz · 2 ch · -\d+\.\d LUFS$)").match(summary).hasMatch(),
                 qPrintable(summary));
        QVERIFY(!card->findChild<QPushButton *>("retryButton")->isVisible());
        QCOMPARE(statusText(), QStringLiteral("Queue finished — 1 file analysed."));
        QCOMPARE(child<QLabel>("analysedCount")->text(), QStringLiteral("Files analysed this session: 1"));
        QVERIFY(sectionTitles(card).isEmpty());

        // The service's chapters reach the expanded card (their rows: the format suite).
        QTest::mouseClick(card->findChild<QAbstractButton *>("cardHeader"), Qt::LeftButton);
        QCOMPARE(card->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));
        QVERIFY(sectionTitles(card).contains("Chapters"));
        QTest::mouseClick(card->findChild<QAbstractButton *>("cardHeader"), Qt::LeftButton);
        QVERIFY(sectionTitles(card).isEmpty());

        const QString destination = test::writeFile(m_files->filePath(QStringLiteral("report.txt")), "old report");
        QPushButton *saveButton = card->findChild<QPushButton *>("saveReportButton");
        QVERIFY(saveButton->isVisible());
        // Opens the save panel and picks `path`, or cancels it when there is none.
        const auto saveTo = [&](const QString &path) {
            QTest::mouseClick(saveButton, Qt::LeftButton);
            QFileDialog *dialog = openDialog("saveReportPanel");
            QVERIFY(dialog && dialog->acceptMode() == QFileDialog::AcceptSave);
            // The panel suggests "<name>_report.txt" next to the input.
            QCOMPARE(dialog->selectedFiles().value(0), m_files->filePath(QStringLiteral("Take 1_report.txt")));
            if (path.isEmpty())
                return dialog->reject(); // with the suggestion still selected
            dialog->selectFile(path);
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        };

        // Cancelling changes nothing.
        const QString before = statusText();
        saveTo({});
        QTest::qWait(100);
        QCOMPARE(statusText(), before);

        // A refused download leaves the old file as it was.
        m_server.fault(QStringLiteral("GET /v1/jobs/*/download/report"), 500, R"({"detail":"boom"})");
        saveTo(destination);
        QVERIFY(test::waitUntil(
            [&] { return statusText() == R"(Could not save report: Server error 500: {"detail":"boom"})"; }));
        QCOMPARE(test::contents(destination), QByteArray("old report"));

        saveTo(destination);
        QVERIFY(test::waitUntil([&] { return statusText() == QStringLiteral("Report saved → report.txt"); }));
        const QString jobID = *m_view->runner().items().value(0).jobID;
        const QByteArray served = test::runTask(APIClient::downloadReport(jobID, m_store->accessToken()));
        QVERIFY(served.startsWith("Hoplin audio analysis report"));
        QCOMPARE(test::contents(destination), served);
        // The new file replaced the old one whole; no side file stays behind.
        QCOMPARE(QDir(m_files->path()).entryList({"*report*"}, QDir::Files | QDir::Hidden), QStringList{"report.txt"});
    }

    void failedCardShowsTheError()
    {
        test::analysisMode(m_server, "failed", "Decoder crashed at 00:01.");
        ItemCard *card = analysedCard(m_files->filePath(QStringLiteral("a.wav")));
        QVERIFY(card);
        QCOMPARE(card->findChild<QLabel *>("itemIcon")->text(), QStringLiteral("⚠"));
        QVERIFY(!card->findChild<QPushButton *>("saveReportButton")->isVisible());
        QPushButton *retry = card->findChild<QPushButton *>("retryButton");
        QVERIFY(retry->isVisible() && retry->isEnabled());
        m_view->toggle(card->id());
        QCOMPARE(sectionTitles(card), QStringList{"Error"});
        QCOMPARE(card->findChild<QLabel *>("errorMessage")->text(), QStringLiteral("Decoder crashed at 00:01."));

        // Retry starts the run at once; the failed job has ended, so the file goes up again.
        test::analysisMode(m_server, "normal");
        QTest::mouseClick(retry, Qt::LeftButton);
        QVERIFY(m_view->runner().isRunning());
        QVERIFY(!retry->isEnabled());
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }));
        QCOMPARE(card->findChild<QLabel *>("itemStatus")->text(), QStringLiteral("✓ a.wav"));
        QCOMPARE(m_server.count(QStringLiteral("POST /v1/uploads")), 2);
        QTest::mouseClick(card->findChild<QPushButton *>("clearItemButton"), Qt::LeftButton);
        QVERIFY(m_view->runner().items().isEmpty());
        QVERIFY(test::waitUntil([&] { return m_view->findChildren<ItemCard *>().isEmpty(); }));
    }

    void uploadShowsProgressAndCanStop()
    {
        test::signIn(*m_store);
        showView();
        m_server.delay(QStringLiteral("POST /v1/uploads"), 2000);
        const QString path = m_files->filePath(QStringLiteral("long.wav"));
        QVERIFY(test::sparseFile(path, 24 << 20));
        m_view->enqueue({path});
        ItemCard *card = onlyCard();
        QVERIFY(card);
        QProgressBar *bar = card->findChild<QProgressBar *>("uploadProgress");
        QVERIFY(test::waitUntil([&] { return bar->isVisible() && bar->value() > 0; }));
        QPushButton *stop = child<QPushButton>("stopButton");
        QVERIFY(stop->isVisible());
        QVERIFY(child<QWidget>("runSpinner")->isVisible());
        QTest::mouseClick(stop, Qt::LeftButton);
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }));
        QCOMPARE(statusText(), QStringLiteral("Stopped — 1 file still queued."));
        QVERIFY(!bar->isVisible());
        QVERIFY(!stop->isVisible());
        QCOMPARE(card->findChild<QLabel *>("itemStatus")->text(), QStringLiteral("Stopped"));
        // No job was started yet, so there is nothing to cancel on the service.
        QTest::qWait(100);
        QCOMPARE(m_server.cancels(), QJsonArray());
    }

    void dropRules()
    {
        test::signIn(*m_store);
        showView(false);
        const QList<QUrl> urls{QUrl::fromLocalFile(test::sineFile(m_files->filePath(QStringLiteral("a.wav"))))};
        QList<QUrl> handed;
        DropRouter::shared().setCorrectionActive(true);
        DropRouter::shared().setCorrectionHandler([&](const QList<QUrl> &files, const QPointF &) { handed = files; });

        // Under a web tab the hidden page hands the drop on and queues nothing.
        DropRouter::shared().setWebTabActive(true);
        QVERIFY(m_view->handleDrop(urls));
        QCOMPARE(handed, urls);
        QVERIFY(m_view->runner().items().isEmpty());

        // Under the Convert tab it is refused.
        handed.clear();
        DropRouter::shared().setWebTabActive(false);
        QVERIFY(!m_view->handleDrop(urls));
        QVERIFY(handed.isEmpty());
        QVERIFY(m_view->runner().items().isEmpty());

        // Its own tab: a real drop event on the drop area queues the files and starts the run.
        m_view->setActive(true);
        QMimeData mime;
        mime.setUrls(urls);
        DropZone *zone = child<DropZone>("dropZone");
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &enter);
        QVERIFY(enter.isAccepted());
        QVERIFY(zone->isDropping());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(zone, &drop);
        QVERIFY(drop.isAccepted());
        QVERIFY(!zone->isDropping());
        QCOMPARE(m_view->runner().items().size(), 1);
        QVERIFY(m_view->runner().isRunning());
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s));
    }

    void filePanels_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("panel");
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<int>("queued");
        QTest::newRow("files") << "chooseFilesButton"
                               << "chooseFilesPanel" << QStringList{"album/a.wav", "album/b.flac"} << 2;
        QTest::newRow("folder") << "chooseFolderButton"
                                << "chooseFolderPanel" << QStringList{"album"} << 3;
    }
    void filePanels()
    {
        QFETCH(QString, button);
        QFETCH(QString, panel);
        QFETCH(QStringList, chosen);
        QFETCH(int, queued);
        // Signed out, so nothing starts: only the queueing is looked at.
        showView();
        m_store->disconnect();
        for (const char *name : {"album/a.wav", "album/b.flac", "album/inner/c.mp3", "album/notes.txt"})
            QVERIFY(test::sparseFile(m_files->filePath(name), 0));
        if (button == "chooseFilesButton")
            m_view->chooseFiles();
        else
            m_view->chooseFolder();
        QFileDialog *dialog = openDialog(qPrintable(panel));
        QVERIFY(dialog);
        dialog->setDirectory(m_files->path());
        QStringList names;
        for (const QString &name : chosen)
            names << '"' + m_files->filePath(name) + '"';
        dialog->selectFile(names.join(' '));
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        QTest::qWait(100);
        QCOMPARE(m_view->runner().items().size(), queued);
        QVERIFY(!m_view->runner().isRunning());
    }

    void launchAutomation()
    {
        const QString a = test::sineFile(m_files->filePath(QStringLiteral("a.wav")));
        const QString b = test::sineFile(m_files->filePath(QStringLiteral("b.wav")));
        // The window signs in with the launch switch; the page waits for the connection.
        Settings::shared().setValue(keys::autoAnalyze, a + ",," + b);
        showView(false);
        test::runTask(m_store->connect(test::LocalServer::demoKey));
        QVERIFY(test::waitUntil([&] { return m_view->runner().items().size() == 2; }));
        QVERIFY(m_store->state().isConnected());
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s));
        QCOMPARE(statusText(), QStringLiteral("Queue finished — 2 files analysed."));
    }

    void markupInNamesAndMessagesShowsAsWritten()
    {
        showView();
        const QString name = "<b>Remix<i>.wav";
        QVERIFY(test::sparseFile(m_files->filePath(name), 16));
        m_view->runner().queue({m_files->filePath(name)});
        m_view->runner().setStatusLine("Analysis failed: Server error 502: <html><h1>Bad gateway</h1></html>");
        QStringList rendered;
        for (QLabel *label : m_view->findChildren<QLabel *>()) {
            if (label->text().contains(QRegularExpression("<[a-z/]")) && label->textFormat() != Qt::PlainText)
                rendered << label->text();
        }
        QVERIFY2(rendered.isEmpty(), qPrintable(rendered.join(" | ")));
        const auto cards = m_view->findChildren<ItemCard *>();
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards.first()->findChild<ElidedLabel *>("itemName")->fullText(), name);
    }

    // Cards are made only for the rows in and near view.
    void aLargeDropGetsARowPerFileAndCardsOnlyInView()
    {
        showView();
        for (int i = 0; i < 400; ++i)
            QVERIFY(test::sparseFile(m_files->filePath(QStringLiteral("take %1.wav").arg(i, 3, 10, QChar('0'))), 16));
        m_view->runner().queue({m_files->path()});
        QList<QUuid> queued;
        for (const AnalysisRunner::Item &item : m_view->runner().items())
            queued << item.id;
        auto *column = m_view->findChild<CardColumn *>();
        QVERIFY(column);
        QCOMPARE(column->rows(), queued);
        m_view->toggle(queued.first());
        QCOMPARE(column->card(queued.first())->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));

        // Cards exist for the first screens only, top to bottom in queue order, without overlaps.
        const auto inOrder = [&] {
            QList<ItemCard *> cards = m_view->findChildren<ItemCard *>();
            std::sort(cards.begin(), cards.end(), [](ItemCard *a, ItemCard *b) { return a->y() < b->y(); });
            for (qsizetype i = 1; i < cards.size(); ++i) {
                if (queued.indexOf(cards[i]->id()) != queued.indexOf(cards[i - 1]->id()) + 1 ||
                    cards[i]->y() < cards[i - 1]->geometry().bottom())
                    return false;
            }
            return !cards.isEmpty();
        };
        const qsizetype made = m_view->findChildren<ItemCard *>().size();
        QVERIFY2(made > 3 && made < 100, qPrintable(QString::number(made)));
        QVERIFY(column->card(queued.first()));
        QVERIFY(!column->card(queued.last()));
        QVERIFY(inOrder());

        // Scrolled to the end, the last file's card is there, with its name, and the first is gone.
        auto *scroll = m_view->findChild<QScrollArea *>("analysisScroll");
        QVERIFY(test::waitUntil([&] { return scroll->verticalScrollBar()->maximum() > 0; }, 5s));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QVERIFY(test::waitUntil([&] { return column->card(queued.last()) != nullptr; }, 5s));
        QCOMPARE(column->card(queued.last())->findChild<ElidedLabel *>("itemName")->fullText(), "take 399.wav");
        QVERIFY(!column->card(queued.first()));
        QVERIFY(inOrder());
        QVERIFY(m_view->findChildren<ItemCard *>().size() < 100);

        // Back at the top, the expanded card was made anew and is still expanded.
        scroll->verticalScrollBar()->setValue(0);
        QVERIFY(test::waitUntil([&] { return column->card(queued.first()) != nullptr; }, 5s));
        QCOMPARE(column->card(queued.first())->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());

        // Removing one leaves exactly the rest, in order.
        m_view->runner().remove(queued[398]);
        queued.removeAt(398);
        QCOMPARE(column->rows(), queued);
        QVERIFY(test::waitUntil([&] { return column->card(queued.last()) && inOrder(); }, 5s));
    }
};

HOPLIN_GUI_TEST_MAIN(TestAnalysisView)
#include "tst_analysisview.moc"
