#pragma once

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QReadWriteLock>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace hoplin {

// Names of every per-user setting; the only place they are spelled.
namespace keys {
inline constexpr auto baseURL = "baseURL";
inline constexpr auto exportLocation = "exportLocation";
inline constexpr auto exportFolderPath = "exportFolderPath";
inline constexpr auto autoStartConvert = "autoStartConvert";
inline constexpr auto ffmpegPathOverride = "ffmpegPathOverride";
inline constexpr auto conversionsAtOnce = "conversionsAtOnce";
inline constexpr auto connectKey = "connectKey";
inline constexpr auto autoConvert = "autoConvert";
inline constexpr auto autoAnalyze = "autoAnalyze";
inline constexpr auto dropBridgeLog = "dropBridgeLog";
inline constexpr auto dropTargetDebug = "dropTargetDebug";
inline constexpr auto dropAreaDebug = "dropAreaDebug";
inline constexpr auto queueProbe = "queueProbe";
inline constexpr auto forceBridgeDrop = "forceBridgeDrop";
inline constexpr auto simulateDrop = "simulateDrop";
inline constexpr auto openURL = "openURL";
inline constexpr auto webConnectKey = "webConnectKey";
inline constexpr auto clickChoose = "clickChoose";
inline constexpr auto tab = "tab";
inline constexpr auto skipWebTabs = "skipWebTabs";
inline constexpr auto hoplinDiag = "hoplinDiag";
inline constexpr auto exportLogAt = "exportLogAt";
inline constexpr auto dragWatch = "dragWatch";
inline constexpr auto showPreferences = "showPreferences";
inline constexpr auto showAbout = "showAbout";
inline constexpr auto showReleaseNotes = "showReleaseNotes";
inline constexpr auto showUpdates = "showUpdates";
inline constexpr auto autoUpdate = "autoUpdate";
inline constexpr auto autoInstall = "autoInstall";
inline constexpr auto updateManifestURL = "updateManifestURL";
inline constexpr auto lastUpdateCheckAttempt = "lastUpdateCheckAttempt";
inline constexpr auto lastUpdateCheckSuccess = "lastUpdateCheckSuccess";
} // namespace keys

// The per-user defaults store. Values written here persist; "-key value" pairs given on the
// command line override them for one run without being written. Safe to read from any thread.
class Settings : public QObject {
    Q_OBJECT
public:
    enum class Type { String, Boolean, Integer, Date };
    struct KeyInfo {
        const char *name;
        Type type;
        QVariant defaultValue;
    };

    // The process-wide store, backed by the user's configuration folder.
    static Settings &shared();
    // A store backed by the given INI file; for tests and tools.
    explicit Settings(const QString &filePath, QObject *parent = nullptr);
    ~Settings() override;

    static const QList<KeyInfo> &knownKeys();
    static const KeyInfo *keyInfo(const QString &key);

    // Whether `word` reads as the "-key" of a "-key value" pair.
    static bool isSwitchName(const QString &word);
    // Parses "-key value" pairs (the program name first, as in argv) into one-run overrides.
    // Arguments that are not such a pair are left alone.
    void applyCommandLine(const QStringList &arguments);
    void clearOverrides();

    bool contains(const QString &key) const;
    // The stored or overriding value converted to the key's type; the key's default when absent
    // or not convertible.
    QVariant value(const QString &key) const;
    QString string(const QString &key) const;
    bool boolean(const QString &key) const;
    int integer(const QString &key) const;
    QDateTime date(const QString &key) const;

    void setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);

    QString filePath() const;

signals:
    // Emitted on the thread that changed the value, after the change.
    void changed(const QString &key);

private:
    QVariant rawValue(const QString &key) const;
    static QVariant convert(const QVariant &raw, Type type, bool *ok);

    mutable QReadWriteLock m_lock;
    std::unique_ptr<QSettings> m_store;
    QHash<QString, QVariant> m_cache;    // mirror of m_store, so reads never touch the file layer
    QHash<QString, QString> m_overrides; // command-line values, never written
};

} // namespace hoplin
