#include "ScriptTemplate.h"

namespace hoplin {

TemplateError::TemplateError(Kind kind, QString word, const QString &description)
    : Error(QStringLiteral("TemplateError"), int(kind), description)
    , m_kind(kind)
    , m_word(std::move(word))
{
}

TemplateError TemplateError::notFFmpeg()
{
    return {Kind::NotFFmpeg, {}, QStringLiteral("The script does not start with an ffmpeg command.")};
}

TemplateError TemplateError::controlCharacters()
{
    return {
        Kind::ControlCharacters, {}, QStringLiteral("The script contains unsupported control characters.")};
}

TemplateError TemplateError::unknownPlaceholder(const QString &word)
{
    return {Kind::UnknownPlaceholder, word,
            QStringLiteral("The script uses an unsupported placeholder in '%1'.").arg(word)};
}

namespace ScriptTemplate {

namespace {

// End (exclusive) of the character starting at `i`. A character is one code point, except that a
// carriage return followed by a line feed is taken as one, so "\<CR><LF>" escapes the whole break.
qsizetype characterEnd(const QString &text, qsizetype i)
{
    const qsizetype n = text.size();
    if (i + 1 < n) {
        const QChar c = text[i];
        if (c == u'\r' && text[i + 1] == u'\n')
            return i + 2;
        if (c.isHighSurrogate() && text[i + 1].isLowSurrogate())
            return i + 2;
    }
    return i + 1;
}

char32_t codePointAt(const QString &text, qsizetype i)
{
    const QChar c = text[i];
    if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
        return QChar::surrogateToUcs4(c, text[i + 1]);
    return c.unicode();
}

} // namespace

bool isWhiteSpace(char32_t c)
{
    // The White_Space property list; QChar::isSpace agrees today, but this must not drift with
    // Unicode updates of the library.
    switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

QStringList tokenize(const QString &text)
{
    QStringList words;
    QString word;
    QChar quote; // null while outside quotes
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype end = characterEnd(text, i);
        const QChar c = text[i];
        const bool single = end == i + 1;
        if (!quote.isNull()) {
            if (single && c == quote) {
                quote = QChar();
            } else if (quote == u'"' && c == u'\\' && end < n && (text[end] == u'"' || text[end] == u'\\')) {
                word += text[end];
                i = end + 1;
                continue;
            } else {
                word += QStringView(text).sliced(i, end - i);
            }
            i = end;
            continue;
        }
        if (c == u'\'' || c == u'"') {
            quote = c;
        } else if (c == u'\\') {
            if (end < n) {
                const qsizetype escapedEnd = characterEnd(text, end);
                word += QStringView(text).sliced(end, escapedEnd - end);
                i = escapedEnd;
                continue;
            }
            word += c;
        } else if (isWhiteSpace(codePointAt(text, i))) {
            if (!word.isEmpty()) {
                words.append(word);
                word.clear();
            }
        } else {
            word += QStringView(text).sliced(i, end - i);
        }
        i = end;
    }
    if (!word.isEmpty())
        words.append(word);
    return words;
}

namespace {
// One pass from left to right, so that a path that itself reads "{output_base}" stays as it is.
QString substitute(const QString &word, const QString &inputPath, const QString &outputBasePath)
{
    QString result;
    qsizetype at = 0;
    while (at < word.size()) {
        if (QStringView(word).sliced(at).startsWith(inputPlaceholder)) {
            result += inputPath;
            at += inputPlaceholder.size();
        } else if (QStringView(word).sliced(at).startsWith(outputBasePlaceholder)) {
            result += outputBasePath;
            at += outputBasePlaceholder.size();
        } else {
            result += word[at++];
        }
    }
    return result;
}
} // namespace

QStringList buildArguments(const QString &templateText, const QString &inputPath,
                           const QString &outputBasePath)
{
    const QStringList words = tokenize(templateText);
    // Only the bare word: a path would pick some other program than the one the user located.
    if (words.isEmpty() || words.first() != u"ffmpeg")
        throw TemplateError::notFFmpeg();

    // The template is judged on its own, before any path goes in: a file whose name holds a
    // brace is an ordinary file, while a brace the template itself holds is an unknown placeholder.
    for (qsizetype i = 1; i < words.size(); ++i) {
        QString bare = words[i];
        bare.remove(inputPlaceholder).remove(outputBasePlaceholder);
        if (bare.contains(u'{') || bare.contains(u'}'))
            throw TemplateError::unknownPlaceholder(words[i]);
        if (bare.contains(u'\n') || bare.contains(u'\r'))
            throw TemplateError::controlCharacters();
    }
    // A line break in a path is still refused: ffmpeg reads some arguments as lists of lines.
    for (const QString &path : {inputPath, outputBasePath}) {
        if (path.contains(u'\n') || path.contains(u'\r'))
            throw TemplateError::controlCharacters();
    }

    QStringList arguments;
    arguments.reserve(words.size() - 1);
    for (qsizetype i = 1; i < words.size(); ++i)
        arguments.append(substitute(words[i], inputPath, outputBasePath));
    return arguments;
}

} // namespace ScriptTemplate
} // namespace hoplin
