#pragma once

#include <QPointF>
#include <QString>

// The scripts the web tabs put into the service's pages. Texts only; the web view decides when.
namespace hoplin::web::scripts {

// Defines window.webkit.messageHandlers.{hoplinSession,hoplinLog}.postMessage on top of the web
// channel whose client library is `channelLibrary` (qwebchannel.js), in the main frame; in a
// sub-frame it defines a stand-in that can only report itself to the main frame, so the app can
// log and refuse the attempt. The native object is registered as `objectName`.
QString messageHandlers(const QString &channelLibrary, const QString &objectName);
// Hides the page's own top bar (document end).
QString embedStyle();
// Forwards console.error, console.warn and uncaught errors to "hoplinLog" (document start).
QString consoleBridge();
// Posts changes of local storage "hoplin_session" to "hoplinSession" while the page is at
// `expectedOrigin` (document start).
QString sessionWatcher(const QString &expectedOrigin);

// Writes `payload` (the session's JSON text) as the page's session and announces it.
QString setSession(const QString &payload);
// Removes the page's session and announces it.
QString removeSession();
inline constexpr auto readSession = "localStorage.getItem('hoplin_session') || ''";

// Types `key` into #apiKey and clicks #connect.
QString fillConnectKey(const QString &key);
// Clicks the page's chooser label ('label[for="folder"]' when `folder`, else 'label[for="files"]').
QString clickChooser(bool folder);

QString highlightDropArea();
QString unhighlightDropArea();
// Finds where a drop at `point` belongs: {x, y, id} of the element's centre, or null.
QString findDropTarget(const QPointF &point, const QString &fallbackZone);
// The centre {x, y} of the page's .file-input-area, or null.
QString dropAreaCentre();
// The page's status line, queue row count and drop area, for the queue probe.
QString queueProbe();

} // namespace hoplin::web::scripts
