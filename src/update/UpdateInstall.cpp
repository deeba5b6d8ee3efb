// Staging the new bundle, the swap with its restore path and the relaunch through the helper.
#include "UpdateManager.h"

#include "InstallHelper.h"
#include "PropertyList.h"
#include "UpdateShared.h"
#include "Version.h"
#include "diagnostics/ActiveJobs.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "diagnostics/TemporaryJournal.h"
#include "platform/Archive.h"
#include "platform/Platform.h"
#include "service/Async.h"
#include "service/Error.h"
#include "version.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QSaveFile>
#include <QDirIterator>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace hoplin {

using namespace update;

namespace {

// Deletes a file, link or folder tree; failures are ignored (callers only tidy up).
void removePath(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

// Copies a bundle tree: folders, regular files with their permissions, links as links with their
// own text, so a copy resolves exactly as the checked original does. Returns what went wrong, or
// an empty text.
QString copyTree(const QString &from, const QString &to)
{
    const QFileInfo source(from);
    if (source.isSymLink()) {
        char target[4096];
        const ssize_t length = ::readlink(QFile::encodeName(from).constData(), target, sizeof target);
        if (length < 0 || size_t(length) == sizeof target)
            return systemError();
        if (::symlink(QByteArray(target, length).constData(), QFile::encodeName(to).constData()) != 0)
            return systemError();
        return {};
    }
    if (source.isDir()) {
        if (!QDir().mkdir(to))
            return QStringLiteral("Could not create %1.").arg(to);
        const QStringList entries =
            QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &entry : entries) {
            const QString failure = copyTree(from + QLatin1Char('/') + entry, to + QLatin1Char('/') + entry);
            if (!failure.isEmpty())
                return failure;
        }
        return {};
    }
    if (!source.isFile())
        return QStringLiteral("%1 is not a regular file.").arg(source.fileName());
    QFile file(from);
    if (!file.copy(to))
        return file.errorString();
    return {};
}

void unmount(const QString &mountPoint)
{
    QFile::setPermissions(mountPoint, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir(mountPoint).removeRecursively();
    TemporaryJournal::shared().remove(mountPoint);
}

// "Mounting" the image: it is an archive holding the bundle at its top level, unpacked with the
// secure flags into a private folder that is then made read-only. None when it cannot be read.
std::optional<QString> mount(const QString &dmgPath)
{
    const QString folder = QDir::tempPath() + QStringLiteral("/hoplin-image-") + freshUuid();
    if (!QDir().mkpath(folder))
        return std::nullopt;
    TemporaryJournal::shared().add(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ExtractLimits limits;
    limits.maxEntries = 100000;
    const ExtractResult result = extractArchive(dmgPath, folder, limits);
    if (!result.ok) {
        log(QStringLiteral("image refused: ") + result.error);
        unmount(folder);
        return std::nullopt;
    }
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    return folder;
}

std::optional<QVariantMap> readBundleInfo(const QString &appPath)
{
    QFile file(appPath + QStringLiteral("/Contents/Info.plist"));
    std::optional<QVariant> plist;
    if (file.open(QIODevice::ReadOnly))
        plist = parsePropertyList(file.read(1 << 20));
    if (!plist || plist->typeId() != QMetaType::QVariantMap)
        return std::nullopt;
    return plist->toMap();
}

QString textOf(const QVariantMap &info, const char *key)
{
    const QVariant value = info.value(QString::fromLatin1(key));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

// The swap replaces a working app with this bundle: every link in it must resolve inside it, and
// its executable must be a real file there, or the installed app would reach outside or not start.
void checkBundleStaysInside(const QString &appPath)
{
    const QString root = QFileInfo(appPath).canonicalFilePath();
    const auto inside = [&root](const QString &path) {
        return !path.isEmpty() && (path == root || path.startsWith(root + QLatin1Char('/')));
    };
    const QDir bundle(appPath);
    QDirIterator entries(appPath, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QFileInfo entry(entries.next());
        if (entry.isSymLink() && !inside(entry.canonicalFilePath())) {
            throw appError(17, QStringLiteral("The update bundle's link %1 leads outside the bundle.")
                                   .arg(bundle.relativeFilePath(entry.filePath())));
        }
    }
    QString name = textOf(readBundleInfo(appPath).value_or(QVariantMap()), "CFBundleExecutable");
    if (name.isEmpty())
        name = QStringLiteral("hoplin-desktop");
    const QFileInfo executable(appPath + QStringLiteral("/Contents/MacOS/") + name);
    if (name.contains(QLatin1Char('/')) || executable.isSymLink() || !executable.isFile() ||
        !inside(executable.canonicalFilePath())) {
        throw appError(17, QStringLiteral("The update bundle's executable %1 is not a regular file inside the bundle.")
                               .arg(QStringLiteral("Contents/MacOS/") + name));
    }
}

// A staging folder that failed or was refused goes, with its journal line.
void discardStaging(const QString &stagingDir)
{
    QDir(stagingDir).removeRecursively();
    TemporaryJournal::shared().remove(stagingDir);
}

} // namespace

std::optional<QString> UpdateManager::bundleContaining(const QString &executableDir)
{
    QDir dir(executableDir);
    if (dir.dirName() != QLatin1String("MacOS") || !dir.cdUp() || dir.dirName() != QLatin1String("Contents"))
        return std::nullopt;
    if (!QFileInfo(dir.filePath(QStringLiteral("Info.plist"))).isFile() || !dir.cdUp())
        return std::nullopt;
    if (!dir.dirName().endsWith(QLatin1String(".app")))
        return std::nullopt;
    return dir.absolutePath();
}

std::optional<QString> UpdateManager::bundlePath() const
{
    if (m_hasBundleOverride)
        return m_bundleOverride;
    return bundleContaining(QCoreApplication::applicationDirPath());
}

QString UpdateManager::updatesDirectory()
{
    return platform::updatesDirectory();
}

QString UpdateManager::helperLogPath()
{
    return updatesDirectory() + QStringLiteral("/install.log");
}

QString UpdateManager::helperScriptText()
{
    return installHelperScript();
}

void UpdateManager::installAndRelaunch(const Manifest &manifest, const QString &stagedDMGPath)
{
    // Whatever the outcome, the verified image has served once it is handed in here.
    if (installedByPackageManager()) {
        discardImage(stagedDMGPath);
        setPhase(Phase::error(packageManagerNotice()));
        return;
    }
    if (!ActiveJobs::shared().isEmpty()) {
        discardImage(stagedDMGPath);
        setPhase(Phase::error(QStringLiteral("Stop active conversions/analysis before installing the update.")));
        return;
    }
    const std::optional<QString> bundle = bundlePath();
    log(QStringLiteral("installAndRelaunch version=%1 dmg=%2 current=%3")
            .arg(manifest.version, stagedDMGPath, bundle.value_or(QStringLiteral("(no bundle)"))));
    if (!bundle) {
        // Nothing on disk is touched: a build tree or a system package is updated by other means.
        discardImage(stagedDMGPath);
        setPhase(Phase::error(QStringLiteral("Install failed: this copy of Hoplin Desktop does not run from an "
                                             "installed application bundle, so it cannot replace itself.")));
        return;
    }
    setPhase(Phase::installing());
    detach(runInstall(manifest, stagedDMGPath, *bundle), QStringLiteral("update"), QStringLiteral("install"));
}

QCoro::Task<> UpdateManager::runInstall(Manifest manifest, QString dmgPath, QString bundle)
{
    QPointer self(this);
    struct Outcome {
        StagedApp staged;
        QString failure;
    };
    auto stage = [manifest, dmgPath, updates = updatesDirectory()]() -> Outcome {
        try {
            return {prepareStagedApp(manifest, dmgPath, updates), {}};
        } catch (const Error &error) {
            return {{}, error.description()};
        } catch (const std::exception &error) {
            return {{}, QString::fromUtf8(error.what())};
        }
    };
    const Outcome outcome = co_await runInBackground(std::move(stage));
    discardImage(dmgPath); // staged or refused, the image is no longer needed
    if (!self)
        co_return;
    if (!outcome.failure.isEmpty()) {
        setPhase(Phase::error(QStringLiteral("Install failed: ") + outcome.failure));
        log(QStringLiteral("install failed: ") + outcome.failure);
        co_return;
    }
    performSwap(bundle, outcome.staged);
}

StagedApp UpdateManager::prepareStagedApp(const Manifest &manifest, const QString &dmgPath, const QString &updatesDir)
{
    // However the manifest was obtained, an older release never replaces this one.
    const std::optional<Version> version = Version::parse(manifest.version);
    if (!version || !isNewerRelease(*version, manifest.build, installedVersion(), version::kBuild)) {
        throw appError(12, QStringLiteral("The update (%1 build %2) is not newer than this version (%3 build %4).")
                               .arg(manifest.version)
                               .arg(manifest.build)
                               .arg(QLatin1String(version::kVersion))
                               .arg(version::kBuild));
    }
    const std::optional<QString> mountPoint = mount(dmgPath);
    if (!mountPoint)
        throw appError(5, QStringLiteral("Could not open the update disk image."));
    struct Unmount {
        QString path;
        ~Unmount() { unmount(path); }
    } unmountOnExit{*mountPoint};

    const QString imageApp = *mountPoint + QLatin1Char('/') + QLatin1String(kBundleName);
    const QFileInfo imageInfo(imageApp);
    if (!imageInfo.exists() || !imageInfo.isDir() || imageInfo.isSymLink())
        throw appError(6, QStringLiteral("The update disk image has no app bundle."));
    validateBundleIdentity(imageApp, manifest);

    if (!QDir().mkpath(updatesDir))
        throw appError(2, QStringLiteral("Could not create %1.").arg(updatesDir));
    struct Staging {
        QString path;
        bool keep = false;
        ~Staging()
        {
            if (!keep)
                discardStaging(path);
        }
    } staging{updatesDir + QLatin1Char('/') + freshUuid()};
    TemporaryJournal::shared().add(staging.path);
    if (!QDir().mkpath(staging.path))
        throw appError(2, QStringLiteral("Could not create %1.").arg(staging.path));
    const QString stagedApp = staging.path + QLatin1Char('/') + QLatin1String(kBundleName);
    const QString failure = copyTree(imageApp, stagedApp);
    if (!failure.isEmpty())
        throw appError(2, failure);
    checkBundleStaysInside(stagedApp);
    staging.keep = true;
    return {stagedApp, staging.path};
}

void UpdateManager::validateBundleIdentity(const QString &appPath, const Manifest &manifest)
{
    const std::optional<QVariantMap> plist = readBundleInfo(appPath);
    if (!plist)
        throw appError(7, QStringLiteral("The update bundle has no readable Info.plist."));
    const QVariantMap &info = *plist;
    const auto text = [&info](const char *key) { return textOf(info, key); };
    const QVariant identifier = info.value(QStringLiteral("CFBundleIdentifier"));
    if (identifier.typeId() != QMetaType::QString || identifier.toString() != QLatin1String(kBundleIdentifier))
        throw appError(8, QStringLiteral("The update bundle is not Hoplin Desktop."));
    const QString bundleVersion = text("CFBundleShortVersionString");
    if (bundleVersion != manifest.version) {
        throw appError(9, QStringLiteral("The update bundle version (%1) does not match the manifest (%2).")
                              .arg(bundleVersion, manifest.version));
    }
    const QString bundleBuild = text("CFBundleVersion");
    if (bundleBuild != QString::number(manifest.build)) {
        throw appError(10, QStringLiteral("The update bundle build (%1) does not match the manifest (%2).")
                               .arg(bundleBuild)
                               .arg(manifest.build));
    }
    // "min_macos" names a release of another system: nothing here compares with it.
    if (manifest.minMacos && !manifest.minMacos->isEmpty())
        log(QStringLiteral("min_macos %1 ignored: it names a macOS release").arg(*manifest.minMacos));
}

void UpdateManager::swapInStagedApp(const QString &currentApp, const QString &stagedApp)
{
    const QString old = currentApp + QStringLiteral(".hoplin-old");
    removePath(old);
    if (std::rename(QFile::encodeName(currentApp).constData(), QFile::encodeName(old).constData()) != 0)
        throw appError(13, QStringLiteral("Could not move the current app aside — ") + systemError());
    const QString failure = copyTree(stagedApp, currentApp);
    if (!failure.isEmpty()) {
        removePath(currentApp);
        std::rename(QFile::encodeName(old).constData(), QFile::encodeName(currentApp).constData());
        throw appError(14, QStringLiteral("Copy failed and the previous version was restored — ") + failure);
    }
    removePath(old);
}

void UpdateManager::performSwap(const QString &currentApp, const StagedApp &staged)
{
    const QString parent = QFileInfo(currentApp).absolutePath();
    if (::access(QFile::encodeName(parent).constData(), W_OK) != 0) {
        setPhase(Phase::error(
            QStringLiteral("Downloaded %1, but %2 is not writable. ").arg(QFileInfo(staged.app).fileName(), parent) +
            platform::localText(
                QStringLiteral("Drag Hoplin Desktop from the mounted disk image into your Applications folder."))));
        // The staged copy is the user's now: the message sends them to it, so no clean-up takes it.
        TemporaryJournal::shared().remove(staged.stagingDir);
        return;
    }
    try {
        swapInStagedApp(currentApp, staged.app);
    } catch (const Error &error) {
        // Code 13: nothing was moved, so there was nothing to restore.
        const QString outcome = error.code() == 13 ? QStringLiteral("Install failed and the installed version was left "
                                                                    "as it was — ")
                                                   : QStringLiteral("Install failed and the previous version was "
                                                                    "restored — ");
        setPhase(Phase::error(outcome + error.description()));
        log(QStringLiteral("install failed: ") + error.description());
        discardStaging(staged.stagingDir);
        return;
    }

    // From here on the new version is in place; a failure only stops the relaunch.
    const QString script = QDir::tempPath() + QStringLiteral("/hoplin-install-") + freshUuid() + QStringLiteral(".sh");
    QSaveFile scriptFile(script);
    const bool written = scriptFile.open(QIODevice::WriteOnly) && scriptFile.write(helperScriptText().toUtf8()) >= 0 &&
                         scriptFile.commit();
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
    if (!written || !QFile::setPermissions(script, executable)) {
        setPhase(Phase::error(QStringLiteral("Install failed: ") + scriptFile.errorString()));
        QFile::remove(script);
        discardStaging(staged.stagingDir);
        return;
    }
    QDir().mkpath(updatesDirectory());

    QProcess helper;
    helper.setProgram(QStringLiteral("/bin/bash"));
    helper.setArguments({script, currentApp, QLatin1String(version::kAppName),
                         QString::number(QCoreApplication::applicationPid()), staged.stagingDir, helperLogPath()});
    helper.setStandardInputFile(QProcess::nullDevice());
    helper.setStandardOutputFile(QProcess::nullDevice());
    helper.setStandardErrorFile(QProcess::nullDevice());
    if (!helper.startDetached()) {
        setPhase(Phase::error(QStringLiteral("Install failed: the installer could not start — ") + helper.errorString()));
        QFile::remove(script);
        discardStaging(staged.stagingDir);
        return;
    }
    log(QStringLiteral("install helper spawned: ") + script);

    if (m_quit) {
        m_quit();
        return;
    }
    QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    // The helper waits for this process; end it even if the quit is refused.
    QTimer::singleShot(3000, [] {
        DiagnosticsLogger::shared().finalLog(QStringLiteral("update"), QStringLiteral("exiting for the update"));
        ::_exit(0);
    });
}

} // namespace hoplin
