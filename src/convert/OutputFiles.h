#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace hoplin {

// Naming and placing conversion outputs. An output never replaces an existing file: the final
// move is an atomic no-replace rename that moves on to the next "(n)" name when one is taken.
namespace OutputFiles {

inline constexpr auto temporaryPrefix = ".hoplin-tmp-";

// "clip.mov" -> "clip". A name whose only dot leads it has no extension to drop.
QString stem(const QString &fileName);

// base + ext for n = 0, otherwise base + " (n)" + ext.
QString candidateName(const QString &base, const QString &outputExt, int n);

// Why base + outputExt cannot name a file directly inside the destination folder (a "/", a NUL,
// "." or ".."), or nothing when it can. The suffix and extension come from the service.
std::optional<QString> outsideNameReason(const QString &base, const QString &outputExt);

// The first name in `directory` that is not taken now. The move may still pick a later one if
// something appears meanwhile.
QString firstFreeOutput(const QString &directory, const QString &base, const QString &outputExt);

// The stem as temporaryBase() puts it into the name.
QString shortenedStem(const QString &stem, const QString &outputExt);

// A hidden, unique base in `directory` for ffmpeg to write to. Long stems are shortened so the
// name, the extension and a side-file suffix stay within the file system's name limit.
QString temporaryBase(const QString &directory, const QString &stem, const QString &outputExt);

enum class MoveMethod { Automatic, LinkOnly, CopyOnly };

// Moves `from` to `to` unless `to` exists; returns 0 or an errno value (EEXIST when taken).
// Automatic tries renameat2(RENAME_NOREPLACE), then link()+unlink() on file systems that refuse
// it, then an exclusive create and copy on file systems without hard links.
int moveNoReplace(const QString &from, const QString &to, MoveMethod method = MoveMethod::Automatic);

struct Placed {
    QString path;  // set on success
    QString error; // the reason otherwise
};
// Moves `from` to the first free candidate name in `directory`.
Placed placeOutput(const QString &from, const QString &directory, const QString &base,
                   const QString &outputExt, MoveMethod method = MoveMethod::Automatic);

// Deletes every entry of the base's folder whose name begins with the base's name: the output and
// whatever side files the template wrote next to it. Errors are ignored.
void cleanupPartial(const QString &temporaryBase);

// Deletes the hidden outputs (and side files) an earlier, interrupted conversion of `stem` left in
// `directory`; returns the paths removed.
QStringList removeStaleTemporaries(const QString &directory, const QString &stem, const QString &outputExt);

} // namespace OutputFiles
} // namespace hoplin
