// The loudness history in the job document and its graph on the Analysis card: lenient reading, the
// read-out, the target picker, saving as PNG, and "—" on the card for what the service left out.
#include "AnalysisTestUtil.h"
#include "GuiTestSupport.h"
#include "analysis/AnalysisDocument.h"
#include "analysis/ui/AnalysisCards.h"
#include "analysis/ui/LoudnessGraph.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace hoplin;

namespace {

// A minute: momentary -20 LUFS from 0.4 s, short-term -26 LUFS from 3 s.
AnalysisLoudnessHistory minute()
{
    AnalysisLoudnessHistory history;
    for (int i = 0; i < 600; ++i) {
        history.momentaryLufs.append(i >= 3 ? std::optional<double>(-20) : std::nullopt);
        history.shortTermLufs.append(i >= 29 ? std::optional<double>(-26) : std::nullopt);
    }
    return history;
}

} // namespace

class TestLoudnessGraph : public QObject {
    Q_OBJECT

private slots:
    void historyDecoding_data()
    {
        QTest::addColumn<QByteArray>("loudness");
        QTest::addColumn<int>("points"); // -1: no history
        QTest::addColumn<double>("step");
        QTest::addColumn<QString>("momentary"); // the momentary series, "-" for absent points
        const auto row = [](const char *tag, const QByteArray &loudness, int points, double step,
                            const char *momentary) {
            QTest::newRow(tag) << loudness << points << step << QString(momentary);
        };
        row("as sent",
            R"({"loudness_history":{"step_sec":0.1,"momentary_lufs":[null,-20.5],"short_term_lufs":[null,null]}})", 2,
            0.1, "- -20.5");
        row("camel case", R"({"loudnessHistory":{"stepSec":0.2,"momentaryLufs":[-1]}})", 1, 0.2, "-1");
        row("odd points are gaps", R"({"loudness_history":{"step_sec":1,"momentary_lufs":["-3",true,{},-3]}})", 4, 1.0,
            "- - - -3");
        row("zero step", R"({"loudness_history":{"step_sec":0,"momentary_lufs":[-1]}})", -1, 0, "");
        row("text step", R"({"loudness_history":{"step_sec":"0.1","momentary_lufs":[-1]}})", -1, 0, "");
        row("not an object", R"({"loudness_history":[1,2]})", -1, 0, "");
        row("no points", R"({"loudness_history":{"step_sec":0.1,"momentary_lufs":[]}})", -1, 0, "");
        QByteArray many = "[";
        for (int i = 0; i < 40000; ++i)
            many += i ? ",-1" : "-1";
        row("capped", R"({"loudness_history":{"step_sec":0.1,"short_term_lufs":)" + many + "]}}",
            int(AnalysisLoudnessHistory::kMaxPoints), 0.1, "");
    }
    void historyDecoding()
    {
        QFETCH(QByteArray, loudness);
        QFETCH(int, points);
        QFETCH(double, step);
        QFETCH(QString, momentary);
        const JobInfo job = JobInfo::decode(R"({"status":"COMPLETED","analysis":{"loudness":)" + loudness + "}}");
        const auto history = job.analysis->loudness->loudnessHistory;
        QCOMPARE(history.has_value(), points >= 0);
        if (!history)
            return;
        QCOMPARE(history->size(), points);
        QCOMPARE(history->stepSec, step);
        QStringList values;
        for (const auto &value : history->momentaryLufs)
            values << (value ? QString::number(*value) : QStringLiteral("-"));
        QCOMPARE(values.join(u' '), momentary);
    }

    void readout_data()
    {
        QTest::addColumn<int>("x");
        QTest::addColumn<QString>("text");
        // The plot is 656 pixels wide: 44 for the level labels, 590 for the minute, 22 spare.
        QTest::newRow("half way") << 339 << "0:30.0 · Momentary −20.0 LUFS · Short-term −26.0 LUFS";
        QTest::newRow("the end") << 634 << "1:00.0 · Momentary −20.0 LUFS · Short-term −26.0 LUFS";
        QTest::newRow("over the level labels") << 20 << "";
    }
    void readout()
    {
        QFETCH(int, x);
        QFETCH(QString, text);
        LoudnessGraph graph;
        graph.setData(minute(), -21.5);
        graph.plot()->resize(656, 224);
        QCOMPARE(graph.readoutAt(x).value_or(QString()), text);
    }

    void targetPickerMovesTheLineAndTheScale()
    {
        LoudnessGraph graph;
        graph.setData(minute(), -21.5);
        QCOMPARE(graph.target(), -23.0);
        QCOMPARE(graph.plot()->levelRange(), std::make_pair(-35.0, -15.0));
        // A passage far below the rest sits on the bottom edge rather than squashing the scale.
        AnalysisLoudnessHistory quiet = minute();
        quiet.momentaryLufs[100] = -90;
        graph.setData(quiet, -21.5);
        QCOMPARE(graph.plot()->levelRange(), std::make_pair(-55.0, -15.0));
        QSignalSpy changed(&graph, &LoudnessGraph::targetChanged);
        graph.setTarget(-14);
        QCOMPARE(changed.size(), 1);
        QCOMPARE(graph.target(), -14.0);
        // The scale grows to keep the target line in view.
        QCOMPARE(graph.plot()->levelRange().second, -10.0);
        // A target the picker does not offer leaves the current one in place.
        graph.setTarget(-18);
        QCOMPARE(graph.target(), -14.0);
        QVERIFY(!graph.findChild<QComboBox *>()->currentText().isEmpty());
    }

    void savesAPng()
    {
        QTemporaryDir dir;
        LoudnessGraph graph;
        graph.setData(minute(), -21.5);
        const QString path = test::writeFile(dir.filePath("graph.png"), "old");
        QCOMPARE(graph.saveTo(path), std::nullopt);
        QCOMPARE(QImage(path).size(), QSize(1920, 720));
        const QString nowhere = dir.filePath("missing/graph.png");
        QVERIFY(graph.saveTo(nowhere).has_value());
        QVERIFY(!QFile::exists(nowhere));
    }

    void cardShowsTheGraphAndDashesForAbsentValues()
    {
        ItemCard card(QUuid::createUuid());
        AnalysisRunner::Item item;
        item.input = QStringLiteral("/music/Take 1.wav");
        item.succeeded = true;
        item.status = QStringLiteral("✓ Done");
        // What the service sends for a 2 s file: no range, no short-term maximum.
        item.analysis = JobInfo::decode(R"({"analysis":{"loudness":{"integrated_lufs":-23.04,"max_momentary_lufs":-22.9,
            "true_peak_dbfs":-20,"loudness_history":{"step_sec":0.1,"momentary_lufs":[null,null,null,-23],
            "short_term_lufs":[null,null,null,null]}}}})")
                            .analysis;
        card.render(item, true, false);
        QVERIFY(card.findChild<LoudnessGraph *>());
        QMap<QString, QString> rows;
        const auto labels = card.findChildren<QLabel *>("rowLabel");
        const auto values = card.findChildren<QLabel *>("rowValue");
        QCOMPARE(labels.size(), values.size());
        for (qsizetype i = 0; i < labels.size(); ++i)
            rows.insert(labels[i]->text(), values[i]->text());
        QCOMPARE(rows.value("Integrated"), QStringLiteral("-23.04 LUFS"));
        QCOMPARE(rows.value("LRA"), QStringLiteral("—"));
        QCOMPARE(rows.value("Max short-term"), QStringLiteral("—"));
    }
};

HOPLIN_GUI_TEST_MAIN(TestLoudnessGraph)
#include "tst_loudnessgraph.moc"
