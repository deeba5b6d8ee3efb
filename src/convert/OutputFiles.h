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

// The stem shortened so that it, the extension and a side-file suffix stay within the file
// system's name limit (with room for one of our prefixes and a UUID).
QString shortenedStem(const QString &stem, const QString &outputExt);

// A fresh name for one conversion's private folder in `directory`: ".hoplin-tmp-{UUID}". Nothing
// is created yet, so the caller can note it in the journal first.
QString workFolderPath(const QString &directory);
// Creates it, readable and writable by this user only; 0 or an errno value (EEXIST when taken).
int createWorkFolder(const QString &path);
// Where ffmpeg writes in the work folder: the shortened stem, for the template to add the extension.
QString outputBase(const QString &workFolder, const QString &stem, const QString &outputExt);
// The work folder and everything ffmpeg left in it; links inside are removed, never followed.
void removeWorkFolder(const QString &path);

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

} // namespace OutputFiles
} // namespace hoplin
