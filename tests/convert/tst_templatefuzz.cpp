#include "TemplateInvariants.h"
#include "TestSupport.h"

#include <QTest>
#include <random>

using namespace hoplin;

// The fuzz target's invariants on templates assembled from the pieces that matter to the tokenizer,
// with a fixed seed so a failure reproduces.
class TestTemplateFuzz : public QObject {
    Q_OBJECT

    static QByteArray generated(std::mt19937 &random)
    {
        // Words, every kind of white space and quote, placeholders and their look-alikes, control
        // characters, multi-byte and invalid UTF-8.
        static const QByteArray pieces[] = {
            "ffmpeg", " ", "  ", "\t", "\n", "\r\n", "\r", "'", "\"", "\\", "\\\\", "{input}", "{output_base}",
            "{", "}", "{INPUT}", "{name}", "-i", "a", "b=c,d", "''", "\"\"", "\x01", "\xc3\xa9", "\xf0\x9f\x8e\xb5",
            "\xe3\x80\x80", "\xc2\xa0", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\x8b", "\xff", "\x0b", "x\\ y", "\\\n"};
        std::uniform_int_distribution<int> length(0, 14);
        std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
        QByteArray result;
        for (int i = length(random); i > 0; --i)
            result += pieces[pick(random)];
        return result;
    }

private slots:
    void generatedTemplates()
    {
        std::mt19937 random(20261206);
        for (int i = 0; i < 30000; ++i) {
            const QByteArray input = generated(random);
            const QString failure = fuzz::checkBytes(input);
            QVERIFY2(failure.isEmpty(), qPrintable(QStringLiteral("input %1 (base64 %2): %3")
                                                       .arg(i)
                                                       .arg(QString::fromLatin1(input.toBase64()), failure)));
        }
    }
};

HOPLIN_TEST_MAIN(TestTemplateFuzz)
#include "tst_templatefuzz.moc"
