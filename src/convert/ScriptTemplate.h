#pragma once

#include "service/Error.h"

#include <QString>
#include <QStringList>

namespace hoplin {

// Why a conversion script cannot be turned into an ffmpeg argument list. The description is what
// the user sees on the item.
class TemplateError : public Error {
public:
    enum class Kind { NotFFmpeg = 1, ControlCharacters = 2, UnknownPlaceholder = 3 };

    static TemplateError notFFmpeg();
    static TemplateError controlCharacters();
    // `word` is the template word as it stood before the placeholders were replaced.
    static TemplateError unknownPlaceholder(const QString &word);

    Kind kind() const { return m_kind; }
    const QString &word() const { return m_word; }

private:
    TemplateError(Kind kind, QString word, const QString &description);
    Kind m_kind;
    QString m_word;
};

// A preset's command is one ffmpeg command line as a single string. It is split into words the way
// a shell would (quotes, backslashes) but never reaches a shell: each word becomes one argument.
namespace ScriptTemplate {

inline constexpr QLatin1String inputPlaceholder{"{input}"};
inline constexpr QLatin1String outputBasePlaceholder{"{output_base}"};

// True for the characters with the Unicode White_Space property.
bool isWhiteSpace(char32_t c);

// Splits a template into words. Never fails: an unterminated quote just ends the last word.
QStringList tokenize(const QString &text);

// The ffmpeg arguments for one file (without the leading "ffmpeg"), or a TemplateError.
QStringList buildArguments(const QString &templateText, const QString &inputPath,
                           const QString &outputBasePath);

} // namespace ScriptTemplate
} // namespace hoplin
