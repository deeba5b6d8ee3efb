#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

namespace hoplin {

// Finds a usable ffmpeg, reports its version and installs a chosen or downloaded one as the
// managed copy in the application's data folder.
namespace FFmpegLocator {

// Where one search looks, in order: the managed copy, fixed places, then PATH.
struct SearchPlaces {
    QString managed;
    QStringList fixed;
    std::optional<QByteArray> path; // the PATH value; absent means nothing is found there
};

// "FFmpegTools" in the application's data folder; computed once.
QString toolsDir();
QString managedExecutable();
// Where package managers put ffmpeg on Linux, tried after the managed copy.
const QStringList &fixedLocations();
// The places of locatedFFmpeg(), with PATH as this process sees it now.
SearchPlaces defaultPlaces();
// Replaces the places defaultPlaces() gives (nothing: back to the real ones), so tests can stage a
// machine with or without ffmpeg.
void setSearchPlacesForTesting(std::optional<SearchPlaces> places);

// A file that exists and that this user may execute (directories are not).
bool isExecutable(const QString &path);

std::optional<QString> locate(const SearchPlaces &places);
std::optional<QString> locatedFFmpeg();
std::optional<QString> findInPATH(const QString &name);
std::optional<QString> findInPATH(const QString &name, const std::optional<QByteArray> &pathValue);

// The first line of "-version" output, or nothing when the program does not answer like ffmpeg.
QCoro::Task<std::optional<QString>> version(QString executable);
// A hung candidate must not hold an installation forever.
std::chrono::milliseconds versionTimeout();
void setVersionTimeoutForTesting(std::chrono::milliseconds timeout);

// Installs `source` as the managed executable after checking that it runs as ffmpeg; the previous
// managed copy is either kept or replaced, never lost. Returns the managed executable's path.
// Throws hoplin::Error (code 12: not a working ffmpeg).
QCoro::Task<QString> adoptBinary(QString source);

// Same path once normalised, or the same device and inode.
bool isSameFile(const QString &a, const QString &b);

// The first word of 64 or more hex digits, lower-cased; empty when there is none.
QString parseChecksum(const QString &text);

// Downloads carry no quarantine mark here; nothing stops a fresh executable from running.
void clearQuarantine(const QString &path);

} // namespace FFmpegLocator
} // namespace hoplin
