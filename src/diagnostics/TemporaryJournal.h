#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>

namespace hoplin {

// The temporary names this process has in flight (upload bodies, conversion outputs, installer
// working folders), kept in a small file under the data folder so that the next start can remove
// what a killed session left behind. Each entry is a base path: every entry of its folder whose
// name begins with the base's name belongs to it (an output and its side files). Only bases
// whose names carry one of our own temporary prefixes and a UUID are ever removed, so a damaged
// journal cannot point the clean-up at a user's file.
class TemporaryJournal {
public:
    static TemporaryJournal &shared();
    explicit TemporaryJournal(QString journalPath);

    void add(const QString &base);
    void remove(const QString &base);

    // Removes what sessions that are no longer running left behind, logs it under "app" and
    // returns the paths removed. Entries of a session still running stay.
    QStringList sweep();

    // True for the bases the clean-up may touch.
    static bool isOurs(const QString &base);
    // Deletes every entry of the base's folder whose name begins with the base's name (folders
    // with their contents); returns the paths removed. Errors are ignored.
    static QStringList removeByPrefix(const QString &base);

    // Adds a base for the lifetime of the object.
    class Entry {
    public:
        explicit Entry(QString base, TemporaryJournal &journal = shared());
        ~Entry();
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

    private:
        QString m_base;
        TemporaryJournal &m_journal;
    };

private:
    struct Line {
        qint64 pid;
        QString base;
    };
    QList<Line> read() const;
    void write(const QList<Line> &lines) const;

    const QString m_path;
    QMutex m_mutex;
};

} // namespace hoplin
