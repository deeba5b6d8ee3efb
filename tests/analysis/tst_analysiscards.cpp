#include "AnalysisTestUtil.h"
#include "analysis/ui/AnalysisCards.h"
#include "analysis/ui/AnalysisView.h"
#include "analysis/ui/CardColumn.h"
#include "platform/Settings.h"
#include "service/SessionStore.h"

#include <QApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>

using namespace hoplin;
using namespace std::chrono_literals;

// The Analysis page with many files and with text that looks like markup.
class TestAnalysisCards : public QObject {
    Q_OBJECT

    QTemporaryDir m_files;

    // Shows the page at a desktop size with `count` files of a folder queued.
    static bool showWithQueue(AnalysisView &view, const QTemporaryDir &folder, int count)
    {
        view.resize(900, 700);
        view.show();
        for (int i = 0; i < count; ++i) {
            if (!test::sparseFile(folder.filePath(QStringLiteral("take %1.wav").arg(i, 3, 10, QChar('0'))), 16))
                return false;
        }
        view.runner().queue({folder.path()});
        return view.runner().items().size() == count;
    }

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

    void aLargeDropGetsARowPerFileAndCardsOnlyInView()
    {
        SessionStore store;
        AnalysisView view(store);
        QTemporaryDir folder;
        QVERIFY(showWithQueue(view, folder, 400));
        QList<QUuid> queued;
        for (const AnalysisRunner::Item &item : view.runner().items())
            queued << item.id;
        auto *column = view.findChild<CardColumn *>();
        QVERIFY(column);
        QCOMPARE(column->rows(), queued);

        // Cards exist for the first screens only, top to bottom in queue order, without overlaps.
        const auto inOrder = [&] {
            QList<ItemCard *> cards = view.findChildren<ItemCard *>();
            std::sort(cards.begin(), cards.end(), [](ItemCard *a, ItemCard *b) { return a->y() < b->y(); });
            for (qsizetype i = 1; i < cards.size(); ++i) {
                if (queued.indexOf(cards[i]->id()) != queued.indexOf(cards[i - 1]->id()) + 1 ||
                    cards[i]->y() < cards[i - 1]->geometry().bottom())
                    return false;
            }
            return !cards.isEmpty();
        };
        const qsizetype made = view.findChildren<ItemCard *>().size();
        QVERIFY2(made > 3 && made < 100, qPrintable(QString::number(made)));
        QVERIFY(column->card(queued.first()));
        QVERIFY(!column->card(queued.last()));
        QVERIFY(inOrder());

        // Scrolled to the end, the last file's card is there, with its name, and the first is gone.
        auto *scroll = view.findChild<QScrollArea *>("analysisScroll");
        QVERIFY(test::waitUntil([&] { return scroll->verticalScrollBar()->maximum() > 0; }, 5s));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QVERIFY(test::waitUntil([&] { return column->card(queued.last()) != nullptr; }, 5s));
        QCOMPARE(column->card(queued.last())->findChild<ElidedLabel *>("itemName")->fullText(), "take 399.wav");
        QVERIFY(!column->card(queued.first()));
        QVERIFY(inOrder());
        QVERIFY(view.findChildren<ItemCard *>().size() < 100);

        // Removing one leaves exactly the rest, in order.
        view.runner().remove(queued[398]);
        queued.removeAt(398);
        QCOMPARE(column->rows(), queued);
        QVERIFY(test::waitUntil([&] { return column->card(queued.last()) && inOrder(); }, 5s));
    }

    void anExpandedCardKeepsItsDetailsAfterScrollingAway()
    {
        SessionStore store;
        AnalysisView view(store);
        QTemporaryDir folder;
        QVERIFY(showWithQueue(view, folder, 200));
        const QUuid first = view.runner().items().first().id;
        auto *column = view.findChild<CardColumn *>();
        view.toggle(first);
        QVERIFY(view.isExpanded(first));
        QCOMPARE(column->card(first)->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));
        auto *scroll = view.findChild<QScrollArea *>("analysisScroll");
        QVERIFY(test::waitUntil([&] { return scroll->verticalScrollBar()->maximum() > 0; }, 5s));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QVERIFY(test::waitUntil([&] { return column->card(first) == nullptr; }, 5s));
        scroll->verticalScrollBar()->setValue(0);
        QVERIFY(test::waitUntil([&] { return column->card(first) != nullptr; }, 5s));
        QCOMPARE(column->card(first)->findChild<QLabel *>("chevron")->text(), QStringLiteral("▾"));
    }
};

HOPLIN_GUI_TEST_MAIN(TestAnalysisCards)
#include "tst_analysiscards.moc"
