#include "AnalysisTestUtil.h"
#include "GuiTestSupport.h"
#include "analysis/AnalysisAPI.h"
#include "analysis/ui/AnalysisCards.h"
#include "analysis/ui/AnalysisView.h"
#include "ui/Theme.h"
#include "platform/Settings.h"
#include "web/DropRouter.h"

#include <QApplication>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <cstdio>
#include <unistd.h>

using namespace hoplin;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(hoplin::ConnectionState)

namespace {

// What `call` printed on standard output.
template <typename Call> QByteArray standardOutput(Call call)
{
    std::fflush(stdout);
    QTemporaryFile capture;
    if (!capture.open())
        return {};
    const int saved = dup(STDOUT_FILENO);
    dup2(capture.handle(), STDOUT_FILENO);
    call();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    capture.seek(0);
    return capture.readAll();
}

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

    // Analyses a real file through the page and returns its card, collapsed.
    ItemCard *analysedCard(const QString &path)
    {
        m_view->enqueue({path});
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
        test::privateTempDir();
        theme::applyLightTheme(*qApp);
        QVERIFY(m_server.start());
        Settings::shared().setValue(keys::baseURL, m_server.url().toString());
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
        Settings::shared().remove(keys::dropBridgeLog);
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
        QCOMPARE(child<QLabel>("versionLabel")->text(), QStringLiteral("· Hoplin Desktop 1.2.22"));

        test::signIn(*m_store);
        QVERIFY(!child<QWidget>("signInHint")->isVisible());
        QVERIFY(child<QWidget>("dropCard")->isVisible());
        QCOMPARE(statusText(), QStringLiteral("Drop audio files to analyse them on the VPS."));
        QCOMPARE(child<QLabel>("connectionLabel")->text(), QStringLiteral("Connected"));
        QCOMPARE(child<QLabel>("analysedCount")->text(), QStringLiteral("Files analysed this session: 0"));
    }

    void analysedCardShowsItsSections()
    {
        test::signIn(*m_store);
        showView();
        const QString path = m_files->filePath(QStringLiteral("Take 1.m4a"));
        QVERIFY(test::chapteredM4a(path));
        ItemCard *card = analysedCard(path);
        QVERIFY(card);
        QCOMPARE(card->findChild<QLabel *>("itemStatus")->text(), QStringLiteral("✓ Take 1.m4a"));
        const QString summary = card->findChild<QLabel *>("itemSummary")->text();
        QVERIFY2(QRegularExpression(R"(^44100 Hz · 2 ch · -\d+\.\d LUFS$)").match(summary).hasMatch(),
                 qPrintable(summary));
        QVERIFY(card->findChild<QPushButton *>("saveReportButton")->isVisible());
        QVERIFY(!card->findChild<QPushButton *>("retryButton")->isVisible());
        QCOMPARE(statusText(), QStringLiteral("Queue finished — 1 file analysed."));
        QCOMPARE(child<QLabel>("analysedCount")->text(), QStringLiteral("Files analysed this session: 1"));
        QVERIFY(sectionTitles(card).isEmpty());

        QTest::mouseClick(card->findChild<QAbstractButton *>("cardHeader"), Qt::LeftButton);
        QCOMPARE(card->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));
        QCOMPARE(sectionTitles(card), QStringList({"Container", "Audio Stream #0", "Other Streams", "Metadata",
                                                   "Chapters", "Levels", "Loudness (EBU R128 / ITU-R BS.1770)"}));
        QStringList values;
        for (QLabel *value : card->findChildren<QLabel *>("rowValue"))
            values << value->text();
        QVERIFY2(values.contains("00:00:00.000 → 00:00:01.000  Intro"), qPrintable(values.join(" | ")));
        QVERIFY(values.contains("MPEG-4 Audio"));
        QVERIFY(values.contains("2 (stereo)"));

        QTest::mouseClick(card->findChild<QAbstractButton *>("cardHeader"), Qt::LeftButton);
        QVERIFY(sectionTitles(card).isEmpty());
    }

    void saveReportWritesTheServiceReport()
    {
        test::signIn(*m_store);
        showView();
        const QString path = m_files->filePath(QStringLiteral("Take 1.wav"));
        QVERIFY(test::synthesiseAudio(path, QStringLiteral("sine=duration=1")));
        ItemCard *card = analysedCard(path);
        QVERIFY(card);
        const QString destination = m_files->filePath(QStringLiteral("saved/report.txt"));
        QVERIFY(QDir().mkpath(QFileInfo(destination).path()));
        QFile old(destination);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old report") > 0);
        old.close();

        // The panel suggests "<name>_report.txt" next to the input; cancelling changes nothing.
        QTest::mouseClick(card->findChild<QPushButton *>("saveReportButton"), Qt::LeftButton);
        QFileDialog *dialog = openDialog("saveReportPanel");
        QVERIFY(dialog);
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Save the analysis report."));
        QCOMPARE(dialog->selectedFiles().value(0), m_files->filePath(QStringLiteral("Take 1_report.txt")));
        const QString before = statusText();
        dialog->reject();
        QTest::qWait(100);
        QCOMPARE(statusText(), before);

        QTest::mouseClick(card->findChild<QPushButton *>("saveReportButton"), Qt::LeftButton);
        dialog = openDialog("saveReportPanel");
        QVERIFY(dialog);
        dialog->selectFile(destination);
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        QVERIFY(test::waitUntil([&] { return statusText() == QStringLiteral("Report saved → report.txt"); }));

        const std::optional<AnalysisRunner::Item> item = m_view->runner().items().value(0);
        const QByteArray served = test::runTask(APIClient::downloadReport(*item->jobID, m_store->accessToken()));
        QFile saved(destination);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), served);
        QVERIFY(served.startsWith("Hoplin audio analysis report"));
        // The new file replaced the old one whole; no side file stays behind.
        QCOMPARE(QDir(QFileInfo(destination).path()).entryList(QDir::Files | QDir::Hidden), QStringList{"report.txt"});
    }

    void failedSaveLeavesTheFile_data()
    {
        QTest::addColumn<bool>("signedOut");
        QTest::addColumn<QString>("status");
        QTest::newRow("service refuses") << false << R"(Could not save report: Server error 500: {"detail":"boom"})";
    }
    void failedSaveLeavesTheFile()
    {
        QFETCH(bool, signedOut);
        QFETCH(QString, status);
        test::signIn(*m_store);
        showView();
        const QString path = m_files->filePath(QStringLiteral("a.wav"));
        QVERIFY(test::synthesiseAudio(path, QStringLiteral("sine=duration=1")));
        ItemCard *card = analysedCard(path);
        QVERIFY(card);
        const QString destination = m_files->filePath(QStringLiteral("kept.txt"));
        QFile old(destination);
        QVERIFY(old.open(QIODevice::WriteOnly) && old.write("old report") > 0);
        old.close();
        m_server.fault(QStringLiteral("GET /v1/jobs/*/download/report"), 500, R"({"detail":"boom"})");
        if (signedOut)
            m_store->disconnect();

        m_view->saveReport(m_view->runner().items().value(0).id);
        QFileDialog *dialog = openDialog("saveReportPanel");
        QVERIFY(dialog);
        dialog->selectFile(destination);
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        QVERIFY(test::waitUntil([&] { return statusText() == status; }));
        QFile kept(destination);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("old report"));
    }

    void failedCardShowsTheError()
    {
        test::signIn(*m_store);
        showView();
        test::analysisMode(m_server, "failed", "Decoder crashed at 00:01.");
        const QString path = m_files->filePath(QStringLiteral("a.wav"));
        QVERIFY(test::synthesiseAudio(path, QStringLiteral("sine=duration=1")));
        ItemCard *card = analysedCard(path);
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
    }

    void dropRules()
    {
        test::signIn(*m_store);
        showView(false);
        const QString path = m_files->filePath(QStringLiteral("a.wav"));
        QVERIFY(test::synthesiseAudio(path, QStringLiteral("sine=duration=0.5")));
        const QList<QUrl> urls{QUrl::fromLocalFile(path)};
        QList<QUrl> handed;
        DropRouter::shared().setCorrectionActive(true);
        DropRouter::shared().setCorrectionHandler([&](const QList<QUrl> &files, const QPointF &) { handed = files; });
        Settings::shared().setValue(keys::dropBridgeLog, true);

        // Under a web tab the hidden page hands the drop on and queues nothing.
        DropRouter::shared().setWebTabActive(true);
        bool accepted = false;
        const QByteArray printed = standardOutput([&] { accepted = m_view->handleDrop(urls); });
        QVERIFY(accepted);
        QCOMPARE(printed, QByteArray("ANALYSIS-STEAL forwarded\n"));
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
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<int>("queued");
        QTest::newRow("files") << "chooseFilesButton"
                               << "chooseFilesPanel"
                               << "Choose audio files to analyse on the Hoplin VPS."
                               << QStringList{"album/a.wav", "album/b.flac"} << 2;
        QTest::newRow("folder") << "chooseFolderButton"
                                << "chooseFolderPanel"
                                << "Choose a folder — audio files inside it (including subfolders) are queued."
                                << QStringList{"album"} << 3;
    }
    void filePanels()
    {
        QFETCH(QString, button);
        QFETCH(QString, panel);
        QFETCH(QString, message);
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
        QCOMPARE(dialog->windowTitle(), message);
        if (chosen.isEmpty()) {
            dialog->reject();
        } else {
            dialog->setDirectory(m_files->path());
            QStringList names;
            for (const QString &name : chosen)
                names << '"' + m_files->filePath(name) + '"';
            dialog->selectFile(names.join(' '));
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        }
        QTest::qWait(100);
        QCOMPARE(m_view->runner().items().size(), queued);
        QVERIFY(!m_view->runner().isRunning());
    }

    void launchAutomation()
    {
        const QString a = m_files->filePath(QStringLiteral("a.wav"));
        const QString b = m_files->filePath(QStringLiteral("b.wav"));
        QVERIFY(test::synthesiseAudio(a, QStringLiteral("sine=duration=0.5")));
        QVERIFY(test::synthesiseAudio(b, QStringLiteral("sine=duration=0.5")));
        // The window signs in with the launch switch; the page waits for the connection.
        Settings::shared().setValue(keys::autoAnalyze, a + ",," + b);
        showView(false);
        test::runTask(m_store->connect(test::LocalServer::demoKey));
        QVERIFY(test::waitUntil([&] { return m_view->runner().items().size() == 2; }));
        QVERIFY(m_store->state().isConnected());
        QVERIFY(test::waitUntil([&] { return !m_view->runner().isRunning(); }, 30s));
        QCOMPARE(statusText(), QStringLiteral("Queue finished — 2 files analysed."));
    }
};

HOPLIN_GUI_TEST_MAIN(TestAnalysisView)
#include "tst_analysisview.moc"
