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
        QTest::newRow("plain words") << "ffmpeg -i a b" << QStringList{"ffmpeg", "-i", "a", "b"};
        QTest::newRow("blank runs and ends") << "  ffmpeg   -i\t\ta  " << QStringList{"ffmpeg", "-i", "a"};
        QTest::newRow("line breaks separate")
            << "ffmpeg\n-i\r\nx\ry" << QStringList{"ffmpeg", "-i", "x", "y"};
        QTest::newRow("unicode white space separates")
            << QString::fromUtf8("a\u00A0b\u3000c\u2028d\xC2\x85"
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
        QTest::newRow("double-quote escapes")
            << "\"say \\\"hi\\\" \\\\ now\"" << QStringList{"say \"hi\" \\ now"};
        QTest::newRow("backslash ending an open double quote") << "\"abc\\" << QStringList{"abc\\"};
        QTest::newRow("empty quotes make no word") << "ffmpeg '' \"\" x" << QStringList{"ffmpeg", "x"};
        QTest::newRow("other quote inside quotes is literal")
            << "\"it's\" 'say \"x\"'" << QStringList{"it's", "say \"x\""};
        QTest::newRow("unterminated quote ends the last word")
            << "ffmpeg 'a b" << QStringList{"ffmpeg", "a b"};
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
        const int none = 0;
        const int notFFmpeg = int(TemplateError::Kind::NotFFmpeg);
        const int control = int(TemplateError::Kind::ControlCharacters);
        const int unknown = int(TemplateError::Kind::UnknownPlaceholder);
        const QString notFFmpegText = "The script does not start with an ffmpeg command.";
        const QString controlText = "The script contains unsupported control characters.";
        auto unknownText = [](const QString &word) {
            return QStringLiteral("The script uses an unsupported placeholder in '%1'.").arg(word);
        };

        QTest::newRow("paths with spaces need no quoting")
            << "ffmpeg -i {input} {output_base}.wav" << in << out
            << QStringList{"-i", "/a/b c.mov", "/out/.hoplin-tmp-X-b c.wav"} << none << "";
        QTest::newRow("empty quoted argument is dropped")
            << "ffmpeg -i {input} ''" << in << out << QStringList{"-i", in} << none << "";
        QTest::newRow("ffmpeg alone") << "ffmpeg" << in << out << QStringList{} << none << "";
        QTest::newRow("quoted ffmpeg is still the word ffmpeg")
            << "'ffmpeg' -i {input}" << in << out << QStringList{"-i", in} << none << "";
        QTest::newRow("unterminated quote at the end")
            << "ffmpeg -i {input} 'abc" << in << out << QStringList{"-i", in, "abc"} << none << "";
        QTest::newRow("every occurrence is replaced") << "ffmpeg {input}+{input} {output_base}-{output_base}"
                                                      << "i"
                                                      << "o" << QStringList{"i+i", "o-o"} << none << "";
        QTest::newRow("inserted input text is left as it is")
            << "ffmpeg {input}"
            << "/a/{output_base}.wav"
            << "/o/b" << QStringList{"/a/{output_base}.wav"} << none << "";
        QTest::newRow("quotes in a path pass through")
            << "ffmpeg -i {input}"
            << "/a/it's \"x\".mov" << out << QStringList{"-i", "/a/it's \"x\".mov"} << none << "";

        QTest::newRow("empty template") << "" << in << out << QStringList{} << notFFmpeg << notFFmpegText;
        QTest::newRow("capitalised FFmpeg")
            << "FFmpeg -i {input}" << in << out << QStringList{} << notFFmpeg << notFFmpegText;
        QTest::newRow("path to ffmpeg")
            << "/usr/bin/ffmpeg -i {input}" << in << out << QStringList{} << notFFmpeg << notFFmpegText;
        QTest::newRow("other program")
            << "sh -c 'rm -rf ~'" << in << out << QStringList{} << notFFmpeg << notFFmpegText;

        QTest::newRow("unknown placeholder") << "ffmpeg -i {input} {name}.mp4" << in << out << QStringList{}
                                             << unknown << unknownText("{name}.mp4");
        QTest::newRow("unmatched closing brace")
            << "ffmpeg -i {input} -af volume=1} {output_base}.wav" << in << out << QStringList{} << unknown
            << unknownText("volume=1}");
        QTest::newRow("brace in the input path is part of the name")
            << "ffmpeg -i {input} {output_base}.wav"
            << "/in/{x}.wav" << out << QStringList{"-i", "/in/{x}.wav", out + ".wav"} << none << "";
        QTest::newRow("brace in the output base is part of the name")
            << "ffmpeg -i {input} {output_base}.wav" << in << "/o/}b" << QStringList{"-i", in, "/o/}b.wav"}
            << none << "";
        QTest::newRow("brace check comes before the line check")
            << "ffmpeg '{x}\n'" << in << out << QStringList{} << unknown << unknownText("{x}\n");
        QTest::newRow("first failing word decides: line feed")
            << "ffmpeg 'a\nb' {x}" << in << out << QStringList{} << control << controlText;

        QTest::newRow("line feed inside quotes")
            << "ffmpeg -metadata 'title=a\nb'" << in << out << QStringList{} << control << controlText;
        QTest::newRow("carriage return inside quotes")
            << "ffmpeg \"a\rb\"" << in << out << QStringList{} << control << controlText;
        QTest::newRow("line feed in the input path")
            << "ffmpeg -i {input}"
            << "/in/a\nb.wav" << out << QStringList{} << control << controlText;
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
