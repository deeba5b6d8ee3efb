#include "MediaScanner.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace hoplin {

ExtensionSet::ExtensionSet(std::initializer_list<const char *> members)
{
    for (const char *member : members)
        m_members.emplace_back(member);
}

bool ExtensionSet::containsLowered(std::string_view lowered) const
{
    return std::find(m_members.begin(), m_members.end(), lowered) != m_members.end();
}

bool ExtensionSet::contains(QStringView extension) const
{
    const QString lowered = extension.toString().toLower();
    for (const QChar c : lowered) {
        if (c.unicode() > 127)
            return false;
    }
    return containsLowered(lowered.toStdString());
}

QStringList ExtensionSet::members() const
{
    QStringList result;
    for (const std::string &member : m_members)
        result.append(QString::fromStdString(member));
    return result;
}

QString ExtensionSet::globPatterns() const
{
    QStringList patterns;
    for (const QString &member : members())
        patterns << QStringLiteral("*.") + member << QStringLiteral("*.") + member.toUpper();
    return patterns.join(u' ');
}

namespace MediaScanner {

const ExtensionSet &mediaExtensions()
{
    static const ExtensionSet set = {"mov", "mp4", "m4v", "mkv",  "avi", "mxf",  "ts", "webm",
                                     "m4a", "wav", "aif", "aiff", "mp3", "flac", "caf"};
    return set;
}

const ExtensionSet &audioExtensions()
{
    static const ExtensionSet set = {"wav",  "aif", "aiff", "flac", "mp3", "m4a", "aac", "ogg", "oga",
                                     "opus", "wma", "caf",  "au",   "mp2", "ac3", "w64", "amb", "m4r"};
    return set;
}

QString extension(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype dot = path.lastIndexOf(u'.');
    return dot > slash ? path.mid(dot + 1) : QString();
}

namespace {

constexpr std::size_t maxExtensionLength = 24;

// The extension of a raw file name, ASCII-lowered, or empty when it cannot be in any set.
std::string_view loweredExtension(const char *name, char (&buffer)[maxExtensionLength])
{
    const char *dot = std::strrchr(name, '.');
    if (!dot)
        return {};
    const char *ext = dot + 1;
    const std::size_t length = std::strlen(ext);
    if (length >= maxExtensionLength)
        return {};
    for (std::size_t i = 0; i < length; ++i) {
        const char c = ext[i];
        buffer[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    return {buffer, length};
}

bool matches(const char *name, const ExtensionSet &extensions)
{
    char buffer[maxExtensionLength];
    const std::string_view ext = loweredExtension(name, buffer);
    return !ext.empty() && extensions.containsLowered(ext);
}

bool g_ignoreEntryTypes = false;

// The kind of a file-system mode, as a directory listing would report it; DT_UNKNOWN for the
// special files (pipes, sockets, devices), which are never media.
unsigned char entryType(mode_t mode)
{
    if (S_ISDIR(mode))
        return DT_DIR;
    if (S_ISLNK(mode))
        return DT_LNK;
    if (S_ISREG(mode))
        return DT_REG;
    return DT_UNKNOWN;
}

// True for a regular file, or a symbolic link that resolves to one. A pipe named ".wav" would
// stall whoever opens it, and a device never ends.
bool isRegularFile(const char *path)
{
    struct stat info;
    return ::stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

struct Walker {
    QStringList &result;
    QSet<QString> *seen; // null when the caller knows every path is new
    const ExtensionSet &extensions;

    void take(const std::string &path)
    {
        QString text = QFile::decodeName(QByteArray::fromRawData(path.data(), qsizetype(path.size())));
        if (seen) {
            if (seen->contains(text))
                return;
            seen->insert(text);
        }
        result.append(std::move(text));
    }

    // Each folder is read whole and closed before its subfolders are entered, so a deep tree
    // holds one descriptor at a time. The names of a folder share one buffer.
    void walkFolder(std::string &path)
    {
        struct Entry {
            std::uint32_t offset;
            unsigned char type;
        };
        std::string names;
        std::vector<Entry> entries;
        if (DIR *dir = ::opendir(path.c_str())) {
            while (const dirent *entry = ::readdir(dir)) {
                const char *name = entry->d_name;
                // Hidden entries, which include ".", "..", ".DS_Store" and "._" files.
                if (name[0] == '.' || std::strcmp(name, "__MACOSX") == 0)
                    continue;
                // Some file systems (NFS without readdir-plus, some FUSE mounts) report no types;
                // those entries are looked up one by one below.
                const unsigned char type = g_ignoreEntryTypes ? DT_UNKNOWN : entry->d_type;
                if (!keepListed(name, type))
                    continue;
                entries.push_back({std::uint32_t(names.size()), type});
                names.append(name, std::strlen(name) + 1);
            }
            ::closedir(dir);
        }

        const std::size_t base = path.size();
        const bool rootIsSlash = base > 0 && path[base - 1] == '/';
        for (const Entry &entry : entries) {
            const char *name = names.c_str() + entry.offset;
            path.resize(base);
            if (!rootIsSlash)
                path += '/';
            path += name;

            unsigned char type = entry.type;
            if (type == DT_UNKNOWN) {
                struct stat info;
                if (::lstat(path.c_str(), &info) != 0)
                    continue;
                type = entryType(info.st_mode);
                // Once its type is known, an entry meets the same rules as a listed one.
                if (!keepListed(name, type) || type == DT_UNKNOWN)
                    continue;
            }
            if (type == DT_DIR) {
                if (!isPackageName(name))
                    walkFolder(path);
                continue;
            }
            // A link to a file counts as that file; a link to a folder is not followed, and a
            // dangling one does not exist.
            if (type == DT_LNK && !isRegularFile(path.c_str()))
                continue;
            take(path);
        }
        path.resize(base);
    }

    // Whether a listed entry of this type may be taken or entered: folders always, links and
    // regular files with a matching name, special files never. Unknown types are decided later.
    bool keepListed(const char *name, unsigned char type) const
    {
        switch (type) {
        case DT_DIR:
        case DT_UNKNOWN:
            return true;
        case DT_REG:
        case DT_LNK:
            return matches(name, extensions);
        default:
            return false;
        }
    }
};

QCollator fileNameCollator()
{
    // The "C" locale makes QCollator compare code points and ignore numeric mode; file names are
    // then ordered with the root collation instead.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    return collator;
}

// A cheap byte key for printable ASCII names, built from the collator's own order of the ASCII
// characters, with digit runs as numbers. It orders most real file names exactly as the collator
// does, at a fraction of the cost of its sort keys; the result is then checked with the collator
// and the caller falls back to full sort keys when the check fails.
class AsciiKeys {
public:
    explicit AsciiKeys(const QCollator &collator)
    {
        QList<QChar> characters;
        for (char16_t c = 0x20; c < 0x7F; ++c)
            characters.append(QChar(c));
        std::stable_sort(characters.begin(), characters.end(), [&](QChar a, QChar b) {
            return collator.compare(QStringView(&a, 1), QStringView(&b, 1)) < 0;
        });
        quint8 rank = 1;
        for (qsizetype i = 0; i < characters.size(); ++i) {
            if (i > 0 &&
                collator.compare(QStringView(&characters[i - 1], 1), QStringView(&characters[i], 1)) != 0)
                ++rank;
            m_rank[characters[i].unicode()] = rank;
        }
        m_digit = m_rank['0'];
    }

    bool key(QStringView name, std::string &out) const
    {
        out.clear();
        for (qsizetype i = 0; i < name.size();) {
            const char16_t c = name[i].unicode();
            if (c < 0x20 || c >= 0x7F)
                return false;
            if (c < '0' || c > '9') {
                out += char(m_rank[c]);
                ++i;
                continue;
            }
            qsizetype end = i;
            while (end < name.size() && name[end].unicode() >= '0' && name[end].unicode() <= '9')
                ++end;
            qsizetype start = i;
            while (start + 1 < end && name[start] == u'0')
                ++start; // the collator compares values, leading zeros do not count
            if (end - start > 200)
                return false;
            out += char(m_digit);
            out += char(end - start);
            for (qsizetype j = start; j < end; ++j)
                out += char(name[j].unicode());
            i = end;
        }
        return true;
    }

private:
    std::array<quint8, 128> m_rank{};
    quint8 m_digit = 0;
};

QStringView fileNameOf(const QString &path)
{
    return QStringView(path).sliced(path.lastIndexOf(u'/') + 1);
}

// Sorts `order` by the collator's sort keys; stable.
void sortWithCollator(const QCollator &collator, const std::vector<QStringView> &names,
                      std::vector<qsizetype> &order)
{
    // One key per name, then byte comparisons: comparing through the collator would redo the
    // locale work in every one of the n log n comparisons.
    std::vector<std::pair<QCollatorSortKey, qsizetype>> keys;
    keys.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
        keys.emplace_back(collator.sortKey(names[i].toString()), qsizetype(i));
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto &a, const auto &b) { return a.first.compare(b.first) < 0; });
    for (std::size_t i = 0; i < keys.size(); ++i)
        order[i] = keys[i].second;
}

bool sortWithAsciiKeys(const QCollator &collator, const std::vector<QStringView> &names,
                       std::vector<qsizetype> &order)
{
    const AsciiKeys ascii(collator);
    std::string blob, key;
    std::vector<std::pair<std::size_t, std::size_t>> spans(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!ascii.key(names[i], key))
            return false;
        spans[i] = {blob.size(), key.size()};
        blob += key;
    }
    auto keyOf = [&](qsizetype i) { return std::string_view(blob).substr(spans[i].first, spans[i].second); };
    std::stable_sort(order.begin(), order.end(),
                     [&](qsizetype a, qsizetype b) { return keyOf(a) < keyOf(b); });
    // The collator has the last word: every neighbour in order, equal names in collection order.
    for (std::size_t i = 1; i < order.size(); ++i) {
        const int c = collator.compare(names[order[i - 1]], names[order[i]]);
        if (c > 0 || (c == 0 && order[i - 1] > order[i]))
            return false;
    }
    return true;
}

} // namespace

void setIgnoreEntryTypesForTesting(bool ignore)
{
    g_ignoreEntryTypes = ignore;
}

bool isPackageName(std::string_view directoryName)
{
    static const ExtensionSet packages = {
        "app",       "bundle",       "framework",  "plugin",       "kext",          "appex",
        "xpc",       "qlgenerator",  "mdimporter", "prefpane",     "saver",         "component",
        "vst",       "vst3",         "aaxplugin",  "fcpbundle",    "photoslibrary", "imovielibrary",
        "tvlibrary", "musiclibrary", "aplibrary",  "logicx",       "band",          "rtfd",
        "pkg",       "mpkg",         "xcodeproj",  "xcworkspace",  "xcarchive",     "playground",
        "key",       "pages",        "numbers",    "sparsebundle", "dvdproj",       "imovieproject",
        "fcpxmld",   "theater",      "dmgpart",    "lpdf",
    };
    const std::string name(directoryName);
    return matches(name.c_str(), packages);
}

namespace {
void walkInto(const QString &folder, QStringList &result, QSet<QString> *seen, const ExtensionSet &extensions)
{
    const QString root = QDir::cleanPath(folder);
    // Everything at or below a "__MACOSX" folder is archive clutter, the dropped folder included.
    if (root.split(u'/').contains(QStringLiteral("__MACOSX")))
        return;
    std::string path = QFile::encodeName(root).toStdString();
    Walker{result, seen, extensions}.walkFolder(path);
}
} // namespace

void walk(const QString &folder, QStringList &result, QSet<QString> &seen, const ExtensionSet &extensions)
{
    walkInto(folder, result, &seen, extensions);
}

void sortByFileName(QStringList &paths, SortMethod method)
{
    const QCollator collator = fileNameCollator();
    std::vector<QStringView> names;
    names.reserve(paths.size());
    for (const QString &path : std::as_const(paths))
        names.push_back(fileNameOf(path));
    std::vector<qsizetype> order(paths.size());
    for (qsizetype i = 0; i < paths.size(); ++i)
        order[i] = i;
    if (method == SortMethod::CollatorKeysOnly || !sortWithAsciiKeys(collator, names, order))
        sortWithCollator(collator, names, order);
    QStringList sorted;
    sorted.reserve(paths.size());
    for (const qsizetype index : order)
        sorted.append(paths[index]);
    paths = std::move(sorted);
}

QStringList collect(const QStringList &paths, const ExtensionSet &extensions)
{
    QStringList result;
    QSet<QString> seen;
    const QDir current = QDir::current(); // once: a drop can name thousands of files
    for (const QString &given : paths) {
        if (given.isEmpty())
            continue;
        const QString path = QDir::cleanPath(current.absoluteFilePath(given));
        struct stat info;
        const bool exists = ::stat(QFile::encodeName(path).constData(), &info) == 0;
        if (exists && S_ISDIR(info.st_mode)) {
            // A walk never reaches one path twice, so a drop of one folder needs no set.
            walkInto(path, result, paths.size() == 1 ? nullptr : &seen, extensions);
            continue;
        }
        // A file given directly skips the clutter rules of folders (a "._" file is taken). One
        // that is missing is taken too (its item then fails with the reason); one that exists
        // must be a regular file or a link to one.
        if (!extensions.contains(extension(path)) || seen.contains(path) || (exists && !S_ISREG(info.st_mode)))
            continue;
        seen.insert(path);
        result.append(path);
    }
    sortByFileName(result);
    return result;
}

} // namespace MediaScanner
} // namespace hoplin
