#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// What tokenize and buildArguments promise for any template, checked by the fuzz target and by
// the test that replays its corpus. Each check returns an empty string when everything holds,
// otherwise a description of what broke.
namespace hoplin::fuzz {

QString checkTemplate(const QString &templateText);

// Words quoted the way a user would quote them (double quotes, single quotes, backslashes) come
// back from tokenize unchanged. `style` picks the quoting per word and the separators.
QString checkQuoting(const QStringList &words, quint32 style);

// Both checks on one raw input: the text as a template, with and without a leading "ffmpeg", and
// its pieces between 0x01 bytes as words.
QString checkBytes(const QByteArray &data);

// A readable rendering of a text with its control characters escaped, for failure messages.
QString visible(const QString &text);

} // namespace hoplin::fuzz
