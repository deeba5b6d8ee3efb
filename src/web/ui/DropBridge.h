#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QPointer>
#include <QStringList>
#include <QUrl>
#include <QWebEnginePage>
#include <optional>

class QTimer;

namespace hoplin {

class HoplinWebView;

// Brings files dropped on the window into a web tab's page. Small drops are read, Base64-encoded
// off the main thread and handed to the page's bridge functions one file at a time; large ones
// make the page open its own file chooser with a real click on its target, and the chooser is
// answered with the dropped files. Main thread only.
class DropBridge : public QObject {
    Q_OBJECT
public:
    struct Target {
        double x = 0;
        double y = 0;
        QString id;
    };

    DropBridge(HoplinWebView *view, QObject *parent = nullptr);

    void registerWithRouter(bool correction);
    void unregisterFromRouter(bool correction);

    // A drop routed to this tab: expands folders, records the drop and finds the page's target.
    void handleDroppedFiles(const QList<QUrl> &files, const QPointF &dropPoint);
    // Hands the pending drop to the page's bridge functions when it fits.
    void injectViaBridge();
    // A new navigation makes the pending drop meaningless.
    void invalidatePendingDrop();
    // Answers a file chooser the page opened: the pending drop when fresh, else a dialog.
    QStringList chooseFiles(QWebEnginePage::FileSelectionMode mode, const QStringList &acceptedMimeTypes);

    // Developer hooks read after each page load ("simulateDrop", "dropAreaDebug", "queueProbe").
    void injectSimulatedDropIfNeeded();
    void startDiagnostics();

    const std::optional<QList<QUrl>> &pendingFiles() const { return m_pendingFiles; }
    int retryCount() const { return m_retryCount; }
    const std::optional<Target> &lastClickPoint() const { return m_lastClickPoint; }
    // Tests age the pending drop instead of waiting for it to go stale.
    void setPendingDropTimestamp(const QDateTime &when) { m_pendingTimestamp = when; }
    // Shows the chooser dialog; tests replace it.
    std::function<QStringList(QWebEnginePage::FileSelectionMode, const QStringList &)> showDialog;

    static constexpr int kFirstClickDelayMs = 250;
    static constexpr int kClickSpacingMs = 120;
    static constexpr int kRetryIntervalMs = 1500;
    static constexpr int kMaxRetries = 3;
    static constexpr qint64 kPanelWindowMs = 10000;

signals:
    // The page's bridge took every file of a drop (count of files handed over).
    void bridgeInjected(int count);
    // A synthesised click was delivered at this point of the view.
    void clickPosted(const QPointF &viewPoint, const QString &target);

private:
    void route(const QList<QUrl> &files, const QPointF &point);
    void targetFound(const QVariant &result, bool fits);
    QCoro::Task<> encodeAndInject(QList<QUrl> files, QString target);
    void clickPagePoint(const Target &target);
    void armPanelRetry();
    void cancelRetry();
    void clearPending();
    QPointF toWindow(const QPointF &pagePoint) const;

    QPointer<HoplinWebView> m_view;
    std::optional<QList<QUrl>> m_pendingFiles;
    QUrl m_pendingPageUrl;
    bool m_pendingHasView = false;
    QDateTime m_pendingTimestamp;
    QTimer *m_retry = nullptr;
    int m_retryCount = 0;
    std::optional<Target> m_lastClickPoint;
    bool m_didInjectSimulatedDrop = false;
};

} // namespace hoplin
