#include "diagnostics/ActiveJobs.h"

#include "diagnostics/DiagnosticsLogger.h"

#include <algorithm>

namespace hoplin {

ActiveJobs &ActiveJobs::shared()
{
    static ActiveJobs *instance = new ActiveJobs();
    return *instance;
}

void ActiveJobs::begin(const QString &key)
{
    const bool added = !m_keys.contains(key);
    m_keys.insert(key);
    DiagnosticsLogger::shared().log(QStringLiteral("app"),
                                    QStringLiteral("active job started: %1 (now %2)").arg(key, QString::number(m_keys.size())));
    if (added)
        emit runningKeysChanged();
}

void ActiveJobs::end(const QString &key)
{
    const bool removed = m_keys.remove(key);
    DiagnosticsLogger::shared().log(QStringLiteral("app"),
                                    QStringLiteral("active job ended: %1 (now %2)").arg(key, QString::number(m_keys.size())));
    if (removed)
        emit runningKeysChanged();
}

QStringList ActiveJobs::sortedKeys() const
{
    QStringList keys(m_keys.begin(), m_keys.end());
    std::sort(keys.begin(), keys.end());
    return keys;
}

} // namespace hoplin
