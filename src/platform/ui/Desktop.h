#pragma once

#include <QList>
#include <QString>
#include <QUrl>

class QDBusConnection;
class QMimeData;

namespace hoplin::desktop {

// The local files among dragged or pasted URLs (none when there are no URLs).
QList<QUrl> localFiles(const QMimeData *mime);

// Shows `path` selected in the user's file browser (the folder opens when the browser cannot
// select items).
void revealInFileBrowser(const QString &path);
// The same through a given bus; returns at once, and opens the folder if the call fails.
void revealInFileBrowser(const QString &path, const QDBusConnection &bus);
// A desktop notification; silently nothing where no notification service runs.
void notify(const QString &title, const QString &body);
// Opens a web address in the user's default browser.
bool openInBrowser(const QUrl &url);

} // namespace hoplin::desktop
