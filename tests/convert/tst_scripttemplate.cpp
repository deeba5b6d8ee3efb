#include "TestSupport.h"
#include "convert/ConvertRunner.h"

#include <QTest>

using namespace hoplin;

class TestScriptTemplate : public QObject {
    Q_OBJECT

private slots:
    void tokenize_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("words");
        QTest::newRow("blank runs and ends") << "  ffmpeg   -i\t\ta  " << QStringList{"ffmpeg", "-i", "a"};
        QTest::newRow("line breaks separate") << "ffmpeg\n-i\r\nx\ry" << QStringList{"ffmpeg", "-i", "x", "y"};
        QTest::newRow("unicode white space separates") << QString::fromUtf8("a\u00A0b\u3000c\u2028d\xC2\x85"
                                                                            "e\u2009f\u1680g\u202Fh\x0Bi\u200Aj")
                                                       << QStringList{"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
        QTest::newRow("zero-width characters are not white space")
            << QString::fromUtf8("a\u200Bb c\u180Ed")
            << QStringList{QString::fromUtf8("a\u200Bb"), QString::fromUtf8("c\u180Ed")};
        QTest::newRow("quoted and unquoted pieces touch") << "a\"b c\"d" << QStringList{"ab cd"};
        QTest::newRow("single-quoted filter is one word")
            << "-af 'volume=0.5, atempo=2' x" << QStringList{"-af", "volume=0.5, atempo=2", "x"};
        QTest::newRow("single quotes keep backslashes") << "comment='a\\b'" << QStringList{"comment=a\\b"};
        QTest::newRow("backslash escapes a space") << "ffmpeg x\\ y" << QStringList{"ffmpeg", "x y"};
        QTest::newRow("backslash escapes a quote outside") << "\\\"a\\'" << QStringList{"\"a'"};
        QTest::newRow("trailing backslash is kept") << "ffmpeg x\\" << QStringList{"ffmpeg", "x\\"};
        QTest::newRow("double-quote escapes") << "\"say \\\"hi\\\" \\\\ now\"" << QStringList{"say \"hi\" \\ now"};
        QTest::newRow("backslash ending an open double quote") << "\"abc\\" << QStringList{"abc\\"};
        QTest::newRow("empty quotes make no word") << "ffmpeg '' \"\" x" << QStringList{"ffmpeg", "x"};
        QTest::newRow("other quote inside quotes is literal")
            << "\"it's\" 'say \"x\"'" << QStringList{"it's", "say \"x\""};
        QTest::newRow("unterminated quote ends the last word") << "ffmpeg 'a b" << QStringList{"ffmpeg", "a b"};
        QTest::newRow("line feed inside quotes is kept") << "'a\nb'" << QStringList{"a\nb"};
        QTest::newRow("escaped CR LF is one character") << "a\\\r\nb" << QStringList{"a\r\nb"};
        QTest::newRow("astral characters")
            << QString::fromUtf8("\U0001F3B5 \\\U0001F3B5x")
            << QStringList{QString::fromUtf8("\U0001F3B5"), QString::fromUtf8("\U0001F3B5x")};
        QTest::newRow("empty") << "" << QStringList{};
    }
    void tokenize()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, words);
        QCOMPARE(ConvertRunner::tokenize(text), words);
    }

    void buildArguments_data()
    {
        QTest::addColumn<QString>("templateText");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("outputBase");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("errorKind"); // 0 = none
        QTest::addColumn<QString>("errorText");

        const QString in = "/a/b c.mov";
        const QString out = "/out/.hoplin-tmp-X-b c";
        auto built = [](const char *name, const QString &text, const QString &input, const QString &base,
                        const QStringList &arguments) {
            QTest::newRow(name) << text << input << base << arguments << 0 << QString();
        };
        auto refused = [&](const char *name, const QString &text, TemplateError::Kind kind, const QString &word = {},
                           const QString &input = "/a/b c.mov") {
            const QString reason =
                kind == TemplateError::Kind::NotFFmpeg ? "The script does not start with an ffmpeg command."
                : kind == TemplateError::Kind::ControlCharacters
                    ? "The script contains unsupported control characters."
                    : QStringLiteral("The script uses an unsupported placeholder in '%1'.").arg(word);
            QTest::newRow(name) << text << input << out << QStringList{} << int(kind) << reason;
        };
        using enum TemplateError::Kind;

        built("paths with spaces need no quoting", "ffmpeg -i {input} {output_base}.wav", in, out,
              {"-i", "/a/b c.mov", "/out/.hoplin-tmp-X-b c.wav"});
        built("ffmpeg alone", "ffmpeg", in, out, {});
        built("quoted ffmpeg is still the word ffmpeg", "'ffmpeg' -i {input}", in, out, {"-i", in});
        built("every occurrence is replaced", "ffmpeg {input}+{input} {output_base}-{output_base}", "i", "o",
              {"i+i", "o-o"});
        // A source's name is an ordinary name: braces and a placeholder's text in it stay as they are.
        built("inserted input text is left as it is", "ffmpeg {input}", "/a/{output_base}.wav", "/o/b",
              {"/a/{output_base}.wav"});
        built("brace in the input path is part of the name", "ffmpeg -i {input} {output_base}.wav", "/in/{x} take}.wav",
              out, {"-i", "/in/{x} take}.wav", out + ".wav"});
        built("brace in the output base is part of the name", "ffmpeg -i {input} {output_base}.wav", in, "/o/}b",
              {"-i", in, "/o/}b.wav"});

        refused("empty template", "", NotFFmpeg);
        refused("capitalised FFmpeg", "FFmpeg -i {input}", NotFFmpeg);
        refused("path to ffmpeg", "/usr/bin/ffmpeg -i {input}", NotFFmpeg);
        refused("unknown placeholder", "ffmpeg -i {input} {name}.mp4", UnknownPlaceholder, "{name}.mp4");
        refused("unmatched closing brace", "ffmpeg -i {input} -af volume=1} {output_base}.wav", UnknownPlaceholder,
                "volume=1}");
        refused("placeholder split by a placeholder", "ffmpeg -i {in{input}put}", UnknownPlaceholder, "{in{input}put}");
        refused("brace check comes before the line check", "ffmpeg '{x}\n'", UnknownPlaceholder, "{x}\n");
        refused("first failing word decides: line feed", "ffmpeg 'a\nb' {x}", ControlCharacters);
        refused("line feed inside quotes", "ffmpeg -metadata 'title=a\nb'", ControlCharacters);
        refused("carriage return inside quotes", "ffmpeg \"a\rb\"", ControlCharacters);
        refused("line feed in the input path", "ffmpeg -i {input}", ControlCharacters, {}, "/in/a\nb.wav");
        refused("carriage return in the input path", "ffmpeg -i {input}", ControlCharacters, {}, "/in/a\rb.wav");
    }
    void buildArguments()
    {
        QFETCH(QString, templateText);
        QFETCH(QString, input);
        QFETCH(QString, outputBase);
        QFETCH(QStringList, arguments);
        QFETCH(int, errorKind);
        QFETCH(QString, errorText);
        try {
            const QStringList built = ConvertRunner::buildArguments(templateText, input, outputBase);
            QCOMPARE(errorKind, 0);
            QCOMPARE(built, arguments);
        } catch (const TemplateError &error) {
            QCOMPARE(int(error.kind()), errorKind);
            QCOMPARE(error.description(), errorText);
        }
    }
};

HOPLIN_TEST_MAIN(TestScriptTemplate)
#include "tst_scripttemplate.moc"
