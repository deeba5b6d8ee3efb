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
        QTest::mouseClick(stop, Qt::LeftButton);
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }));
        QCOMPARE(statusText(), QStringLiteral("Stopped — 1 file still queued."));
        QVERIFY(!bar->isVisible());
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

    // The launch list queues its files; the file panel queues every file picked.
    void launchListAndFilePanelQueueEveryFile()
    {
        QStringList files;
        for (const char *name : {"a.wav", "b.wav", "c.wav", "d.wav"})
            files << test::writeFile(m_files->filePath(name), "RIFF");
        test::analysisMode(m_server, "failed", "Injected: measured elsewhere.");
        test::signIn(*m_store);
        Settings::shared().setValue(keys::autoAnalyze, files[0] + ",," + files[1] + ",");
        showView();
        QVERIFY(test::waitUntil([&] { return !m_view->runner().items().isEmpty(); }));
        QCOMPARE(m_view->runner().items().size(), 2);
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s));

        QTest::mouseClick(child<QPushButton>("chooseFilesButton"), Qt::LeftButton);
        QFileDialog *dialog = openDialog("chooseFilesPanel");
        QVERIFY(dialog);
        dialog->setDirectory(m_files->path());
        dialog->selectFile(QStringLiteral("\"c.wav\" \"d.wav\""));
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        QVERIFY(test::waitUntil([&] { return m_view->runner().items().size() > 2; }));
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s));
        QStringList queued;
        for (const AnalysisRunner::Item &item : m_view->runner().items())
            queued << item.input;
        QCOMPARE(queued, files);
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
        QCOMPARE(column->rows(), queued);
        const qsizetype made = m_view->findChildren<ItemCard *>().size();
        QVERIFY2(made > 3 && made < 100, qPrintable(QString::number(made)));
        QVERIFY(column->card(queued.first()) && !column->card(queued.last()));

        // Scrolled to the end, the last file's card is there, with its name, and the first is gone.
        auto *scroll = m_view->findChild<QScrollArea *>("analysisScroll");
        QVERIFY(test::waitUntil([&] { return scroll->verticalScrollBar()->maximum() > 0; }, 5s));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QVERIFY(test::waitUntil([&] { return column->card(queued.last()) != nullptr; }, 5s));
        QCOMPARE(column->card(queued.last())->findChild<ElidedLabel *>("itemName")->fullText(), "take 399.wav");
        QVERIFY(!column->card(queued.first()));
    }
};

HOPLIN_GUI_TEST_MAIN(TestAnalysisView)
#include "tst_analysisview.moc"
