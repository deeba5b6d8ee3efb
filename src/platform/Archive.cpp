#include "Archive.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <archive.h>
#include <archive_entry.h>
#include <memory>

namespace hoplin {

namespace {

struct ReadArchive {
    archive *handle = archive_read_new();
    ~ReadArchive() { archive_read_free(handle); }
};
struct WriteDisk {
    archive *handle = archive_write_disk_new();
    ~WriteDisk() { archive_write_free(handle); }
};

// True when `relative` (a path inside the folder, possibly with "..") stays inside it.
bool staysInside(const QString &relative)
{
    const QString cleaned = QDir::cleanPath(relative);
    return !cleaned.isEmpty() && !QDir::isAbsolutePath(cleaned) && cleaned != QLatin1String("..") &&
           !cleaned.startsWith(QLatin1String("../"));
}

ExtractResult refuse(const QString &why)
{
    return {false, why};
}

} // namespace

ExtractResult extractArchive(const QString &archivePath, const QString &destination, const ExtractLimits &limits)
{
    ReadArchive reader;
    // Only the formats we ship in; never the "all formats" catch-all.
    archive_read_support_format_zip(reader.handle);
    archive_read_support_format_tar(reader.handle);
    archive_read_support_filter_gzip(reader.handle);
    archive_read_support_filter_xz(reader.handle);
    if (archive_read_open_filename(reader.handle, QFile::encodeName(archivePath).constData(), 64 * 1024) != ARCHIVE_OK)
        return refuse(QString::fromUtf8(archive_error_string(reader.handle)));

    WriteDisk writer;
    // Entry names are checked below and then anchored under the (symlink-free) destination, so the
    // absolute-path guard is ours rather than libarchive's; its other two guards still apply.
    archive_write_disk_set_options(writer.handle, ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                      ARCHIVE_EXTRACT_TIME);

    const QString root = QDir(destination).canonicalPath();
    if (root.isEmpty())
        return refuse(QStringLiteral("no destination folder"));
    qint64 entries = 0;
    qint64 written = 0;
    for (;;) {
        archive_entry *entry = nullptr;
        const int status = archive_read_next_header(reader.handle, &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN)
            return refuse(QString::fromUtf8(archive_error_string(reader.handle)));
        if (++entries > limits.maxEntries)
            return refuse(QStringLiteral("too many entries"));

        const char *rawName = archive_entry_pathname(entry);
        const QString name = rawName ? QString::fromUtf8(rawName) : QString();
        if (!staysInside(name))
            return refuse(QStringLiteral("entry outside the folder: ") + name);
        if (archive_entry_hardlink(entry))
            return refuse(QStringLiteral("hard link: ") + name);
        const mode_t type = archive_entry_filetype(entry);
        if (type == AE_IFLNK) {
            const char *rawTarget = archive_entry_symlink(entry);
            const QString target = rawTarget ? QString::fromUtf8(rawTarget) : QString();
            const QString parent = QFileInfo(name).path();
            if (QDir::isAbsolutePath(target) || !staysInside(parent + QLatin1Char('/') + target))
                return refuse(QStringLiteral("link leaving the folder: ") + name);
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            return refuse(QStringLiteral("special file: ") + name);
        }

        const QByteArray fullPath = QFile::encodeName(root + QLatin1Char('/') + QDir::cleanPath(name));
        archive_entry_set_pathname(entry, fullPath.constData());
        // Plain permissions only: readable by the user, executable bits kept.
        archive_entry_set_perm(entry, (archive_entry_perm(entry) & 0755) | 0600);
        if (archive_write_header(writer.handle, entry) != ARCHIVE_OK)
            return refuse(QString::fromUtf8(archive_error_string(writer.handle)));

        if (type == AE_IFREG) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            for (;;) {
                const int r = archive_read_data_block(reader.handle, &block, &size, &offset);
                if (r == ARCHIVE_EOF)
                    break;
                if (r != ARCHIVE_OK)
                    return refuse(QString::fromUtf8(archive_error_string(reader.handle)));
                written += qint64(size);
                if (written > limits.maxBytes)
                    return refuse(QStringLiteral("archive larger than allowed"));
                if (archive_write_data_block(writer.handle, block, size, offset) != ARCHIVE_OK)
                    return refuse(QString::fromUtf8(archive_error_string(writer.handle)));
            }
        }
        if (archive_write_finish_entry(writer.handle) != ARCHIVE_OK)
            return refuse(QString::fromUtf8(archive_error_string(writer.handle)));
    }
    if (archive_write_close(writer.handle) != ARCHIVE_OK)
        return refuse(QString::fromUtf8(archive_error_string(writer.handle)));
    return {true, {}};
}

} // namespace hoplin
