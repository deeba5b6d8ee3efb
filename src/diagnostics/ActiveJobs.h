#pragma once

#include <QObject>
#include <QSet>
#include <QStringList>

namespace hoplin {

// Keys of work that must not be interrupted ("Conversion", "Analysis"). The quit guard and the
// update installer refuse to proceed while any key is registered. Main thread only.
class ActiveJobs : public QObject {
    Q_OBJECT
    Q_PROPERTY(QStringList runningKeys READ sortedKeys NOTIFY runningKeysChanged)
public:
    static ActiveJobs &shared();
    ActiveJobs() = default;

    void begin(const QString &key);
    void end(const QString &key);

    const QSet<QString> &runningKeys() const { return m_keys; }
    QStringList sortedKeys() const;
    bool isEmpty() const { return m_keys.isEmpty(); }

signals:
    void runningKeysChanged();

private:
    QSet<QString> m_keys;
};

} // namespace hoplin
