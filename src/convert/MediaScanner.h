#pragma once

#include <QSet>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace hoplin {

// A fixed set of lower-case file extensions without the dot. Lookups are case-insensitive.
class ExtensionSet {
public:
    ExtensionSet(std::initializer_list<const char *> members);

    bool contains(QStringView extension) const;
    // `lowered` must already be lower case (ASCII); the walk tests raw names this way.
    bool containsLowered(std::string_view lowered) const;
    QStringList members() const;
    // "*.mov *.MOV …": the patterns of a file panel's filter, in both cases for panels that
    // match case-sensitively.
    QString globPatterns() const;
    qsizetype size() const { return qsizetype(m_members.size()); }

private:
    std::vector<std::string> m_members;
};

// Turns dropped or chosen files and folders into the sorted, duplicate-free list of media files
// a queue processes.
namespace MediaScanner {

// Convert's inputs.
const ExtensionSet &mediaExtensions();
// Analysis's inputs.
const ExtensionSet &audioExtensions();

// The text after the last dot of the last path component; empty when there is none.
QString extension(const QString &path);

// Folders are searched (see walk); anything else is taken as a file when its extension is in the
// set and it is a regular file (or a link to one) or does not exist. Sorted by file name, case-insensitively and with digit runs compared by value; the sort
// is stable, so equal names keep the order they were found in.
QStringList collect(const QStringList &paths, const ExtensionSet &extensions);

// Appends the matching files below `folder`, pre-order, to `result`, skipping hidden entries,
// "._" files, "__MACOSX" and everything in it, and not entering packages or symbolic links to
// folders. Only regular files, or links that resolve to one, are taken. `seen` holds the paths
// already taken.
void walk(const QString &folder, QStringList &result, QSet<QString> &seen, const ExtensionSet &extensions);

// Directories that are opened as one document or program, never as a folder of files.
bool isPackageName(std::string_view directoryName);

// Fastest tries a cheap key for plain ASCII names first and keeps its result only when the
// collator confirms it; CollatorKeysOnly always uses the collator's sort keys (the reference).
enum class SortMethod { Fastest, CollatorKeysOnly };
void sortByFileName(QStringList &paths, SortMethod method = SortMethod::Fastest);

// Tests only: walk as a file system that reports no entry types would list folders, so every
// entry's type is looked up by path.
void setIgnoreEntryTypesForTesting(bool ignore);

} // namespace MediaScanner
} // namespace hoplin
