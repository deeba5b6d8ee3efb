#include "Desktop.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QCoreApplication>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMimeData>
#include <QStringList>
#include <QVariantMap>

namespace hoplin::desktop {

QList<QUrl> localFiles(const QMimeData *mime)
{
    QList<QUrl> files;
    if (!mime || !mime->hasUrls())
        return files;
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            files << url;
    }
    return files;
}

void revealInFileBrowser(const QString &path)
{
    revealInFileBrowser(path, QDBusConnection::sessionBus());
}

void revealInFileBrowser(const QString &path, const QDBusConnection &bus)
{
    // The freedesktop file-manager interface selects the file; without it, open its folder. The
    // call is not waited for: a file manager that is slow to answer must not freeze the window.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 2000), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [folder](QDBusPendingCallWatcher *done) {
        if (done->isError())
            QDesktopServices::openUrl(folder);
        done->deleteLater();
    });
}

void notify(const QString &title, const QString &body)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QGuiApplication::applicationDisplayName() << uint(0) << QString() << title << body << QStringList()
         << QVariantMap() << int(-1);
    QDBusConnection::sessionBus().asyncCall(call); // nobody waits for the answer
}

bool openInBrowser(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace hoplin::desktop
