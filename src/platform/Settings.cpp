#include "Settings.h"

#include <QDir>
#include <QStandardPaths>
#include <QWriteLocker>

namespace hoplin {

namespace {
QString defaultFilePath()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return base + QStringLiteral("/Hoplin/Hoplin Desktop.conf");
}

} // namespace

bool Settings::isSwitchName(const QString &word)
{
    if (word.size() < 2 || word[0] != QLatin1Char('-') || !word[1].isLetter())
        return false;
    for (qsizetype i = 1; i < word.size(); ++i) {
        const QChar c = word[i];
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('.'))
            return false;
    }
    return true;
}

Settings &Settings::shared()
{
    static Settings *instance = new Settings(defaultFilePath());
    return *instance;
}

Settings::Settings(const QString &filePath, QObject *parent)
    : QObject(parent)
    , m_store(std::make_unique<QSettings>(filePath, QSettings::IniFormat))
{
    for (const QString &key : m_store->allKeys())
        m_cache.insert(key, m_store->value(key));
}

Settings::~Settings() = default;

const QList<Settings::KeyInfo> &Settings::knownKeys()
{
    using T = Type;
    static const QList<KeyInfo> all = {
        {keys::baseURL, T::String, QString()},
        {keys::exportLocation, T::String, QStringLiteral("sameAsSource")},
        {keys::exportFolderPath, T::String, QString()},
        {keys::autoStartConvert, T::Boolean, true},
        {keys::ffmpegPathOverride, T::String, QString()},
        {keys::conversionsAtOnce, T::Integer, 1},
        {keys::connectKey, T::String, QString()},
        {keys::autoConvert, T::String, QString()},
        {keys::autoAnalyze, T::String, QString()},
        {keys::dropBridgeLog, T::Boolean, false},
        {keys::dropTargetDebug, T::Boolean, false},
        {keys::dropAreaDebug, T::Boolean, false},
        {keys::queueProbe, T::Boolean, false},
        {keys::forceBridgeDrop, T::Boolean, false},
        {keys::simulateDrop, T::String, QString()},
        {keys::openURL, T::String, QString()},
        {keys::webConnectKey, T::String, QString()},
        {keys::clickChoose, T::String, QString()},
        {keys::tab, T::String, QString()},
        {keys::skipWebTabs, T::Boolean, false},
        {keys::hoplinDiag, T::Boolean, false},
        {keys::exportLogAt, T::String, QString()},
        {keys::dragWatch, T::Boolean, false},
        {keys::showPreferences, T::Boolean, false},
        {keys::showAbout, T::Boolean, false},
        {keys::showReleaseNotes, T::Boolean, false},
        {keys::showUpdates, T::Boolean, false},
        {keys::autoUpdate, T::Boolean, false},
        {keys::autoInstall, T::Boolean, false},
        {keys::updateManifestURL, T::String, QString()},
        {keys::lastUpdateCheckAttempt, T::Date, QDateTime()},
        {keys::lastUpdateCheckSuccess, T::Date, QDateTime()},
    };
    return all;
}

const Settings::KeyInfo *Settings::keyInfo(const QString &key)
{
    for (const KeyInfo &info : knownKeys()) {
        if (key == QLatin1String(info.name))
            return &info;
    }
    return nullptr;
}

void Settings::applyCommandLine(const QStringList &arguments)
{
    QWriteLocker locker(&m_lock);
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (!isSwitchName(arguments[i]))
            continue;
        m_overrides.insert(arguments[i].mid(1), arguments[i + 1]);
        ++i;
    }
}

void Settings::clearOverrides()
{
    QWriteLocker locker(&m_lock);
    m_overrides.clear();
}

QVariant Settings::rawValue(const QString &key) const
{
    QReadLocker locker(&m_lock);
    const auto over = m_overrides.constFind(key);
    if (over != m_overrides.constEnd())
        return *over;
    return m_cache.value(key);
}

bool Settings::contains(const QString &key) const
{
    QReadLocker locker(&m_lock);
    return m_overrides.contains(key) || m_cache.contains(key);
}

QVariant Settings::convert(const QVariant &raw, Type type, bool *ok)
{
    *ok = true;
    switch (type) {
    case Type::String:
        if (raw.canConvert<QString>())
            return raw.toString();
        break;
    case Type::Boolean: {
        if (raw.typeId() == QMetaType::Bool)
            return raw.toBool();
        const QString text = raw.toString().trimmed().toLower();
        if (text == u"yes" || text == u"true" || text == u"1")
            return true;
        if (text == u"no" || text == u"false" || text == u"0")
            return false;
        break;
    }
    case Type::Integer: {
        bool parsed = false;
        const int number = raw.toString().trimmed().toInt(&parsed);
        if (parsed)
            return number;
        break;
    }
    case Type::Date: {
        if (raw.typeId() == QMetaType::QDateTime)
            return raw;
        const QDateTime parsed = QDateTime::fromString(raw.toString(), Qt::ISODateWithMs);
        if (parsed.isValid())
            return parsed;
        break;
    }
    }
    *ok = false;
    return {};
}

QVariant Settings::value(const QString &key) const
{
    const KeyInfo *info = keyInfo(key);
    const QVariant raw = rawValue(key);
    if (!info)
        return raw;
    if (!raw.isValid())
        return info->defaultValue;
    bool ok = false;
    const QVariant converted = convert(raw, info->type, &ok);
    return ok ? converted : info->defaultValue;
}

QString Settings::string(const QString &key) const
{
    return value(key).toString();
}

bool Settings::boolean(const QString &key) const
{
    return value(key).toBool();
}

int Settings::integer(const QString &key) const
{
    return value(key).toInt();
}

QDateTime Settings::date(const QString &key) const
{
    return value(key).toDateTime();
}

void Settings::setValue(const QString &key, const QVariant &value)
{
    QVariant stored = value;
    if (value.typeId() == QMetaType::QDateTime)
        stored = value.toDateTime().toUTC().toString(Qt::ISODateWithMs);
    {
        QWriteLocker locker(&m_lock);
        // A deliberate change outlives a launch switch given for this run.
        m_overrides.remove(key);
        m_cache.insert(key, stored);
        m_store->setValue(key, stored);
        m_store->sync();
    }
    emit changed(key);
}

void Settings::remove(const QString &key)
{
    {
        QWriteLocker locker(&m_lock);
        m_overrides.remove(key);
        m_cache.remove(key);
        m_store->remove(key);
        m_store->sync();
    }
    emit changed(key);
}

QString Settings::filePath() const
{
    return m_store->fileName();
}

} // namespace hoplin
