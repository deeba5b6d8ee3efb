#include "AnalysisTestUtil.h"
#include "analysis/ui/AnalysisCards.h"
#include "analysis/ui/AnalysisView.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

// The Analysis page with many files and with text that looks like markup.
class TestAnalysisCards : public QObject {
    Q_OBJECT

    QTemporaryDir m_files;

private slots:
    void initTestCase() { Settings::shared().setValue(keys::baseURL, "http://127.0.0.1:9"); }

    void markupInNamesAndMessagesShowsAsWritten()
    {
        SessionStore store;
        AnalysisView view(store);
        view.show();
        const QString name = "<b>Remix<i>.wav";
        QVERIFY(test::sparseFile(m_files.filePath(name), 16));
        view.runner().queue({m_files.filePath(name)});
        view.runner().setStatusLine("Analysis failed: Server error 502: <html><h1>Bad gateway</h1></html>");
        QStringList rendered;
        for (QLabel *label : view.findChildren<QLabel *>()) {
            if (label->text().contains(QRegularExpression("<[a-z/]")) && label->textFormat() != Qt::PlainText)
                rendered << label->text();
        }
        QVERIFY2(rendered.isEmpty(), qPrintable(rendered.join(" | ")));
        const auto cards = view.findChildren<ItemCard *>();
        QCOMPARE(cards.size(), 1);
        QCOMPARE(cards.first()->findChild<ElidedLabel *>("itemName")->fullText(), name);
    }

    void aLargeDropGetsEveryCardWithoutBlocking()
    {
        SessionStore store;
        AnalysisView view(store);
        view.show();
        QTemporaryDir folder;
        for (int i = 0; i < 400; ++i)
            QVERIFY(test::sparseFile(folder.filePath(QStringLiteral("take %1.wav").arg(i, 3, 10, QChar('0'))), 16));
        view.runner().queue({folder.path()});
        QCOMPARE(view.runner().items().size(), 400);
        // The cards come a slice at a time; in the end there is one per file, in queue order.
        QVERIFY(test::waitUntil([&] { return view.findChildren<ItemCard *>().size() == 400; }, 30s));
        QList<QUuid> shown;
        for (ItemCard *card : view.findChildren<ItemCard *>())
            shown << card->id();
        QList<QUuid> queued;
        for (const AnalysisRunner::Item &item : view.runner().items())
            queued << item.id;
        QCOMPARE(QSet<QUuid>(shown.begin(), shown.end()), QSet<QUuid>(queued.begin(), queued.end()));
        // Removing one leaves exactly the rest.
        view.runner().remove(queued[7]);
        QVERIFY(test::waitUntil([&] { return view.findChildren<ItemCard *>().size() == 399; }, 5s));
    }
};

HOPLIN_GUI_TEST_MAIN(TestAnalysisCards)
#include "tst_analysiscards.moc"
