#pragma once

#include <QString>
#include <QUrl>

namespace hoplin::desktop {

// Shows `path` selected in the user's file browser (the folder opens when the browser cannot
// select items).
void revealInFileBrowser(const QString &path);
// A desktop notification; silently nothing where no notification service runs.
void notify(const QString &title, const QString &body);
// Opens a web address in the user's default browser.
bool openInBrowser(const QUrl &url);

} // namespace hoplin::desktop
