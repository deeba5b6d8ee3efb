#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

namespace hoplin::web {

// The page bridge carries at most this many bytes per drop: each file travels as one Base64 string
// inside a script evaluation. Larger drops go through the page's own file input.
inline constexpr qint64 kBridgeLimitBytes = 250LL * 1024 * 1024;
// Folder expansion of one drop stops at this many files.
inline constexpr int kDropFileLimit = 2000;
// Console text forwarded from a page is cut to this many characters.
inline constexpr int kPageLogLimit = 2048;

// "scheme://host[:port]" of the service origin, as the page scripts compare window.location.origin.
QString expectedOrigin();

// Whether a page may be shown inside a web tab: the configured service origin, the built-in
// service origin, or a local file.
bool isApprovedPage(const QUrl &url);
// Whether a page at `origin` (scheme, host and port; the path is ignored) may talk to the native
// message handlers and share the session. Local files never may.
bool isApprovedSecurityOrigin(const QUrl &origin);
// Whether a clicked address may leave for the user's browser: web addresses only.
bool opensInBrowser(const QUrl &url);
// Navigations to addresses that are not places (empty, about:blank, about:srcdoc) and blob: URLs
// of an approved origin stay inside the page.
bool isInertAddress(const QUrl &url);

// The last path component of a page address, or "?" for none.
QString pageName(const QUrl &url);

// Where a download suggested as `suggestedName` goes inside `folder`: its last component without
// leading dots, when free, else "name (1).ext", "name (2).ext"… Empty when there is no folder.
QString downloadDestination(const QString &folder, const QString &suggestedName);

// The files a drop stands for: files as they are, folders walked (hidden entries, macOS debris and
// anything that is not a regular file skipped), each path once, at most `limit` from folders.
QList<QUrl> expandToFiles(const QList<QUrl> &urls, int limit = kDropFileLimit);
// Whether the files fit the page bridge together (unreadable sizes count as 0).
bool bridgeFits(const QList<QUrl> &files);

// Text prepared for a single-quoted JavaScript string: backslashes doubled, quotes escaped.
QString escapeSingleQuoted(const QString &text);
// A forwarded console line cut to kPageLogLimit characters with "…" when longer.
QString clipPageLog(const QString &text);

// Reads a file as Base64 (standard alphabet, no line breaks) one slice at a time, so the app never
// holds a whole large file. Used from one worker thread at a time.
class Base64Reader {
public:
    // Raw bytes per slice: a multiple of 3, so the slices join into one valid Base64 text.
    static constexpr qint64 kSliceBytes = 384 * 1024;
    explicit Base64Reader(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    // Base64 length of the whole file.
    qint64 encodedSize() const;
    // The next slice as a script that stages it in the page; empty at the end, none on a read error.
    std::optional<QString> nextStagingScript();
    std::optional<QByteArray> nextSlice();

private:
    QFile m_file;
};

// The page bridge moves a file as staged Base64 slices and then one call of the page's function
// chosen by `target` ("immDropZone", "dropZone", anything else for the file list) with
// {"name", "type": "audio/wav", "data"}. The scripts answer "ok" or the error text.
QString bridgeStartScript();
QString bridgeStageScript(const QByteArray &base64Slice);
QString bridgeFinishScript(const QString &target, const QString &fileName);

// Developer diagnostics on standard output. debugLine prints only while "dropBridgeLog" is on.
void consoleLine(const QString &line);
void debugLine(const QString &line);

} // namespace hoplin::web
