#pragma once

#include "Manifest.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace hoplin {

// Where the updater stands; drives the update sheet.
struct Phase {
    enum class Kind { Idle, Checking, UpToDate, Available, Downloading, Downloaded, Installing, Error };
    Kind kind = Kind::Idle;
    std::optional<Manifest> manifest; // Available, Downloaded
    double fraction = 0;              // Downloading, 0 to 1
    QString path;                     // Downloaded: the verified image
    QString message;                  // Error: shown unchanged

    static Phase idle() { return {}; }
    static Phase checking() { return {Kind::Checking}; }
    static Phase upToDate() { return {Kind::UpToDate}; }
    static Phase available(Manifest manifest) { return {Kind::Available, std::move(manifest)}; }
    static Phase downloading(double fraction) { return {Kind::Downloading, std::nullopt, fraction}; }
    static Phase downloaded(Manifest manifest, QString path)
    {
        return {Kind::Downloaded, std::move(manifest), 0, std::move(path)};
    }
    static Phase installing() { return {Kind::Installing}; }
    static Phase error(QString message) { return {Kind::Error, std::nullopt, 0, {}, std::move(message)}; }

    bool operator==(const Phase &) const = default;
};

// The new application staged for the swap.
struct StagedApp {
    QString app;        // staging folder + "Hoplin Desktop.app"
    QString stagingDir; // the per-installation folder inside the Updates folder
};

// Keeps the application up to date from the manifest published beside the service: checks on
// schedule or on request, downloads and verifies the image, swaps the bundle in place with a restore
// path and relaunches through a helper script. One instance, main thread only.
class UpdateManager : public QObject {
    Q_OBJECT
public:
    static UpdateManager &shared();
    explicit UpdateManager(QObject *parent = nullptr);
    ~UpdateManager() override;

    const Phase &phase() const { return m_phase; }
    bool showSheet() const { return m_showSheet; }
    void setShowSheet(bool show);
    bool updateAvailable() const { return m_updateAvailable; }
    std::optional<QString> latestVersion() const { return m_latestVersion; }
    // One line saying where the updater stands, for a status line outside the sheet.
    QString statusText() const;

    // The "updateManifestURL" setting when it parses as a URL, else the service origin's
    // "/tools/desktop/latest.json".
    QUrl manifestURL() const;

    // One check; returns the phase it leaves behind. Does nothing during a download or install or
    // while a verified image waits; joins a check already under way.
    QCoro::Task<Phase> check();
    // The scheduled check: at most one attempt per 6 hours, none within 24 hours of a success.
    void autoCheck();
    // Downloads and decodes the manifest; when a public key is set, its signature too.
    QCoro::Task<Manifest> fetchManifest(QUrl url);

    // Downloads the image into the temporary directory and verifies its digest.
    QCoro::Task<> download(Manifest manifest);
    // Stages, swaps and relaunches; returns at once, the phase tells the outcome.
    void installAndRelaunch(const Manifest &manifest, const QString &stagedDMGPath);

    // The running application's bundle ("…/Hoplin Desktop.app"), or none when this copy does not
    // run from one (a build tree, a system package): such a copy never swaps itself.
    std::optional<QString> bundlePath() const;
    // "…/Hoplin Desktop.app" when `executableDir` is its "Contents/MacOS" folder.
    static std::optional<QString> bundleContaining(const QString &executableDir);
    // A copy the system's package manager installed is updated through it, never by swapping.
    bool installedByPackageManager() const;
    // What the sheet and the refused download or install say to such a copy.
    static QString packageManagerNotice();

    // Off the main thread: unpacks the image, checks the bundle and copies it into a new staging
    // folder under `updatesDir`, which goes again when anything fails. Throws Error (codes 5 to 12,
    // 17, or a file operation's failure).
    static StagedApp prepareStagedApp(const Manifest &manifest, const QString &dmgPath, const QString &updatesDir);
    static void validateBundleIdentity(const QString &appPath, const Manifest &manifest);
    // Moves the current bundle aside, copies the staged one into its place and restores the old
    // one when the copy fails. Throws Error 13 or 14.
    static void swapInStagedApp(const QString &currentApp, const QString &stagedApp);
    // Swaps, writes and starts the helper, and quits. On failure the phase is error.
    void performSwap(const QString &currentApp, const StagedApp &staged);

    static QString updatesDirectory();
    static QString helperLogPath();
    static QString helperScriptText();

    // Seams for tests: the clock, the running bundle, the public key that signs manifests, whether
    // the package manager installed this copy, the download's size limits and what happens once
    // the helper runs (normally: quit, then exit).
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }
    void setBundlePath(std::optional<QString> path) { m_bundleOverride = std::move(path); m_hasBundleOverride = true; }
    void setManifestPublicKey(QString hex) { m_publicKey = std::move(hex); }
    void setQuitAction(std::function<void()> quit) { m_quit = std::move(quit); }
    void setInstalledByPackageManager(std::optional<bool> packaged) { m_packagedOverride = packaged; }
    void setDownloadLimits(qint64 ceiling, qint64 freeSpaceFloor)
    {
        m_imageCeiling = ceiling;
        m_freeSpaceFloor = freeSpaceFloor;
    }
    // Puts the manager into a phase directly, so views can be checked phase by phase.
    void setPhaseForTesting(Phase phase) { setPhase(std::move(phase)); }

signals:
    void phaseChanged();
    void showSheetChanged(bool show);
    // updateAvailable or latestVersion changed.
    void availabilityChanged();
    // A check ended; checks that joined it read the phase it left.
    void checkFinished();

private:
    void setPhase(Phase phase);
    // What a coroutine returns: QCoro 0.8's return_value moves from an lvalue it is given, which
    // would empty m_phase itself.
    Phase phaseCopy() const { return m_phase; }
    void setAvailability(bool available, std::optional<QString> version);
    // Downloading, downloaded and installing: phases a check leaves as they are.
    bool checkLeavesPhase() const;
    void concludeCheck(const QUrl &url, const std::optional<Manifest> &manifest, const QString &failure);
    QCoro::Task<> runInstall(Manifest manifest, QString dmgPath, QString bundle);
    QCoro::Task<QString> streamToFile(QUrl url, QString *digest);
    QDateTime now() const { return m_clock ? m_clock() : QDateTime::currentDateTimeUtc(); }

    Phase m_phase;
    bool m_checking = false;
    bool m_showSheet = false;
    bool m_updateAvailable = false;
    std::optional<QString> m_latestVersion;
    std::function<QDateTime()> m_clock;
    std::optional<QString> m_bundleOverride;
    bool m_hasBundleOverride = false;
    QString m_publicKey;
    std::function<void()> m_quit;
    std::optional<bool> m_packagedOverride;
    qint64 m_imageCeiling = qint64(2) << 30;   // no release comes near it
    qint64 m_freeSpaceFloor = qint64(512) << 20; // what a download leaves free in its folder
};

} // namespace hoplin
