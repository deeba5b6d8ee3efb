#include "TemplateInvariants.h"

#include "convert/ScriptTemplate.h"

namespace hoplin::fuzz {

namespace {

const QString inputPath = QStringLiteral("/in dir/it's \"a\" b.wav");
const QString outputBase = QStringLiteral("/out/.hoplin-tmp-0000-a b");

bool hasBrace(const QString &text)
{
    return text.contains(u'{') || text.contains(u'}');
}

bool hasLineBreak(const QString &text)
{
    return text.contains(u'\n') || text.contains(u'\r');
}

QString substituted(QString word)
{
    word.replace(QLatin1String("{input}"), inputPath);
    word.replace(QLatin1String("{output_base}"), outputBase);
    return word;
}

QString quoteDouble(const QString &word)
{
    QString inner = word;
    inner.replace(u'\\', QStringLiteral("\\\\"));
    inner.replace(u'"', QStringLiteral("\\\""));
    return u'"' + inner + u'"';
}

QString escapeEach(const QString &word)
{
    QString result;
    for (qsizetype i = 0; i < word.size(); ++i) {
        result += u'\\';
        result += word[i];
        if (word[i].isHighSurrogate() && i + 1 < word.size() && word[i + 1].isLowSurrogate())
            result += word[++i];
    }
    return result;
}

} // namespace

QString visible(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.unicode() == 0x85 ||
            (c.unicode() >= 0x2028 && c.unicode() <= 0x2029))
            result += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        else
            result += c;
    }
    return u'«' + result + u'»';
}

QString checkTemplate(const QString &templateText)
{
    const QStringList words = ScriptTemplate::tokenize(templateText);
    for (const QString &word : words) {
        if (word.isEmpty())
            return QStringLiteral("tokenize produced an empty word for %1").arg(visible(templateText));
    }
    const bool startsWithFFmpeg = !words.isEmpty() && words.first() == u"ffmpeg";

    // The first word that substitution leaves unusable decides the error.
    qsizetype failing = -1;
    for (qsizetype i = 1; i < words.size() && failing < 0; ++i) {
        const QString result = substituted(words[i]);
        if (hasBrace(result) || hasLineBreak(result))
            failing = i;
    }

    try {
        const QStringList arguments = ScriptTemplate::buildArguments(templateText, inputPath, outputBase);
        if (!startsWithFFmpeg)
            return QStringLiteral("accepted %1 whose first word is not ffmpeg").arg(visible(templateText));
        if (failing >= 0)
            return QStringLiteral("accepted the unusable word %1").arg(visible(words[failing]));
        if (arguments.size() != words.size() - 1)
            return QStringLiteral("%1 arguments from %2 words").arg(arguments.size()).arg(words.size());
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            const QString &argument = arguments[i];
            if (argument.isEmpty())
                return QStringLiteral("empty argument from %1").arg(visible(templateText));
            if (hasLineBreak(argument))
                return QStringLiteral("line break in argument %1").arg(visible(argument));
            if (hasBrace(argument))
                return QStringLiteral("brace in argument %1").arg(visible(argument));
            if (argument != substituted(words[i + 1]))
                return QStringLiteral("argument %1 is not word %2 substituted")
                    .arg(visible(argument), visible(words[i + 1]));
        }
    } catch (const TemplateError &error) {
        switch (error.kind()) {
        case TemplateError::Kind::NotFFmpeg:
            if (startsWithFFmpeg)
                return QStringLiteral("rejected %1 although it starts with ffmpeg")
                    .arg(visible(templateText));
            if (error.description() != u"The script does not start with an ffmpeg command.")
                return QStringLiteral("wrong text: %1").arg(error.description());
            break;
        case TemplateError::Kind::UnknownPlaceholder:
            if (!startsWithFFmpeg || failing < 0)
                return QStringLiteral("placeholder error for %1").arg(visible(templateText));
            if (error.word() != words[failing] || !hasBrace(substituted(words[failing])))
                return QStringLiteral("placeholder error names %1, expected %2")
                    .arg(visible(error.word()), visible(words[failing]));
            if (error.description() !=
                QStringLiteral("The script uses an unsupported placeholder in '%1'.").arg(words[failing]))
                return QStringLiteral("wrong text: %1").arg(error.description());
            break;
        case TemplateError::Kind::ControlCharacters:
            if (!startsWithFFmpeg || failing < 0 || hasBrace(substituted(words[failing])))
                return QStringLiteral("control character error for %1").arg(visible(templateText));
            if (error.description() != u"The script contains unsupported control characters.")
                return QStringLiteral("wrong text: %1").arg(error.description());
            break;
        }
    }
    return {};
}

QString checkQuoting(const QStringList &words, quint32 style)
{
    static const QString separators[] = {QStringLiteral(" "),    QStringLiteral("\t"),
                                         QStringLiteral("\n"),   QStringLiteral("\r\n"),
                                         QString(QChar(0x3000)), QStringLiteral("  \n ")};
    QStringList kept;
    QString joined;
    quint32 bits = style;
    for (const QString &word : words) {
        if (word.isEmpty())
            continue;
        kept << word;
        if (!joined.isEmpty() || (bits & 1))
            joined += separators[(bits >> 1) % 6];
        switch ((bits >> 4) % 3) {
        case 0:
            joined += quoteDouble(word);
            break;
        case 1:
            joined += word.contains(u'\'') ? quoteDouble(word) : u'\'' + word + u'\'';
            break;
        default:
            // "\<CR>" followed by a line-feed separator would be the escaped pair CR LF, which is
            // one character by the tokenizer's rules; such a word is quoted instead.
            joined += word.endsWith(u'\r') ? quoteDouble(word) : escapeEach(word);
            break;
        }
        bits = bits * 1103515245u + 12345u;
    }
    const QStringList back = ScriptTemplate::tokenize(joined);
    if (back != kept)
        return QStringLiteral("quoted words %1 came back as %2 from %3")
            .arg(visible(kept.join(u'|')), visible(back.join(u'|')), visible(joined));
    return {};
}

QString checkBytes(const QByteArray &data)
{
    const QString text = QString::fromUtf8(data);
    if (QString failure = checkTemplate(text); !failure.isEmpty())
        return failure;
    if (QString failure = checkTemplate(QStringLiteral("ffmpeg ") + text); !failure.isEmpty())
        return failure;
    quint32 style = 0;
    for (const char byte : data.left(4))
        style = style * 31 + quint8(byte);
    QStringList words;
    for (const QByteArray &piece : data.split('\x01'))
        words << QString::fromUtf8(piece);
    return checkQuoting(words, style);
}

} // namespace hoplin::fuzz
