#include "DropBridge.h"

#include "HoplinWebView.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Settings.h"
#include "service/Async.h"
#include "web/DropRouter.h"
#include "web/WebPolicy.h"
#include "web/WebScripts.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPromise>
#include <QTimer>
#include <QWindow>

namespace hoplin {

namespace {

void log(const QString &message)
{
    DiagnosticsLogger::shared().log(QStringLiteral("drop"), message);
}

bool setting(const char *key)
{
    return Settings::shared().boolean(QString::fromLatin1(key));
}

QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// What a script evaluation answered; `called` stays false when the page went away first.
struct Evaluation {
    QVariant value;
    bool called = false;
};

// Evaluates `script` in the page and finishes when the page answers (or is gone), so a coroutine
// can wait for it.
QFuture<void> evaluate(QWebEnginePage *page, const QString &script, std::shared_ptr<Evaluation> result)
{
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> future = promise->future();
    // A callback the engine drops unanswered destroys the promise, which finishes the future.
    page->runJavaScript(script, [promise, result](const QVariant &value) {
        result->value = value;
        result->called = true;
        promise->finish();
    });
    return future;
}

// Runs one step of a bridge transfer; the error text, or empty when the page answered "ok".
QCoro::Task<QString> evaluateStep(QPointer<QWebEnginePage> page, QString script)
{
    if (!page)
        co_return QStringLiteral("the page went away");
    auto result = std::make_shared<Evaluation>();
    QFuture<void> done = evaluate(page, std::move(script), result);
    co_await std::move(done);
    if (!result->called)
        co_return QStringLiteral("the page went away");
    const QString answer = result->value.toString();
    if (answer == u"ok")
        co_return QString();
    co_return answer.isEmpty() ? QStringLiteral("no answer from the page") : answer;
}

} // namespace

DropBridge::DropBridge(HoplinWebView *view, QObject *parent)
    : QObject(parent)
    , m_view(view)
{
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    m_retry->setInterval(kRetryIntervalMs);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (!m_pendingFiles || !m_lastClickPoint || !m_view)
            return;
        ++m_retryCount;
        if (m_retryCount <= kMaxRetries) {
            web::consoleLine(QStringLiteral("HANDLE retry %1").arg(m_retryCount));
            log(QStringLiteral("click retry %1").arg(m_retryCount));
            clickPagePoint(*m_lastClickPoint);
            armPanelRetry();
        } else {
            web::consoleLine(QStringLiteral("HANDLE panel never asked after 3 retries — injecting via page bridge"));
            injectViaBridge();
        }
    });
    view->hoplinPage()->fileChooser = [this](QWebEnginePage::FileSelectionMode mode, const QStringList &mimeTypes) {
        return chooseFiles(mode, mimeTypes);
    };
    view->onFilesDropped = [this](const QList<QUrl> &files, const QPointF &point) {
        web::debugLine(QStringLiteral("DROPHANDLER got %1 urls on %2, correction=%3")
                           .arg(files.size())
                           .arg(m_view ? web::pageName(m_view->url()) : QStringLiteral("?"))
                           .arg(boolText(DropRouter::shared().correctionActive())));
        route(files, point);
    };
}

void DropBridge::registerWithRouter(bool correction)
{
    DropRouter::Handler handler = [self = QPointer(this)](const QList<QUrl> &files, const QPointF &point) {
        if (!self || !self->m_view) {
            web::consoleLine(QStringLiteral("DROPHANDLER webView nil"));
            return;
        }
        self->handleDroppedFiles(files, point);
    };
    if (correction)
        DropRouter::shared().setCorrectionHandler(std::move(handler));
    else
        DropRouter::shared().setCinemaHandler(std::move(handler));
}

void DropBridge::unregisterFromRouter(bool correction)
{
    if (correction)
        DropRouter::shared().setCorrectionHandler({});
    else
        DropRouter::shared().setCinemaHandler({});
}

void DropBridge::route(const QList<QUrl> &files, const QPointF &point)
{
    DropRouter::shared().route(files, point);
}

void DropBridge::handleDroppedFiles(const QList<QUrl> &files, const QPointF &dropPoint)
{
    if (!m_view)
        return;
    const QList<QUrl> expanded = web::expandToFiles(files, web::kDropFileLimit);
    m_pendingFiles = expanded;
    m_pendingHasView = true;
    m_pendingPageUrl = m_view->url();
    m_pendingTimestamp = QDateTime::currentDateTimeUtc();
    const QString page = web::pageName(m_pendingPageUrl);
    log(QStringLiteral("handle files=%1 page=%2").arg(expanded.size()).arg(page));
    web::debugLine(QStringLiteral("HANDLE files=%1 page=%2 clicking label").arg(expanded.size()).arg(page));

    const bool immersive = std::any_of(expanded.begin(), expanded.end(), [](const QUrl &file) {
        return QFileInfo(file.toLocalFile()).suffix().toLower() == u"mxf";
    });
    const bool fits = web::bridgeFits(expanded);
    QPointer self(this);
    m_view->page()->runJavaScript(
        web::scripts::findDropTarget(dropPoint, immersive ? QStringLiteral("zImm") : QStringLiteral("z51")),
        [self, fits](const QVariant &result) {
            if (self)
                self->targetFound(result, fits);
        });
}

void DropBridge::targetFound(const QVariant &result, bool fits)
{
    const QVariantMap map = result.toMap();
    const QVariant x = map.value(QStringLiteral("x"));
    const QVariant y = map.value(QStringLiteral("y"));
    const auto numeric = [](const QVariant &value) {
        return value.typeId() == QMetaType::Double || value.typeId() == QMetaType::Int ||
               value.typeId() == QMetaType::LongLong;
    };
    if (!numeric(x) || !numeric(y)) {
        log(QStringLiteral("no target found on page"));
        web::consoleLine(QStringLiteral("HANDLE no target"));
        return;
    }
    const QString id = map.value(QStringLiteral("id")).toString();
    log(QStringLiteral("target=%1 pagePoint=%2,%3")
            .arg(id.isEmpty() ? QStringLiteral("?") : id)
            .arg(qint64(x.toDouble()))
            .arg(qint64(y.toDouble())));
    m_retryCount = 0;
    m_lastClickPoint = Target{x.toDouble(), y.toDouble(), id};
    if (fits || setting(keys::forceBridgeDrop)) {
        // Too large and forced: the bridge declines and the drop stays pending, without a click.
        injectViaBridge();
        return;
    }
    QTimer::singleShot(kFirstClickDelayMs, this, [this] {
        if (!m_lastClickPoint || !m_pendingFiles)
            return;
        clickPagePoint(*m_lastClickPoint);
        armPanelRetry();
    });
}

void DropBridge::injectViaBridge()
{
    if (!m_pendingFiles || m_pendingFiles->isEmpty() || !m_pendingHasView || !m_view)
        return;
    const QString target = m_lastClickPoint ? m_lastClickPoint->id : QStringLiteral("correction");
    if (!web::bridgeFits(*m_pendingFiles)) {
        web::consoleLine(QStringLiteral("HANDLE bridge too large — leaving to click path"));
        return;
    }
    const QList<QUrl> files = *m_pendingFiles;
    clearPending();
    cancelRetry();
    detach(encodeAndInject(files, target), QStringLiteral("drop"), QStringLiteral("page bridge"));
}

QCoro::Task<> DropBridge::encodeAndInject(QList<QUrl> files, QString target)
{
    QPointer self(this);
    for (const QUrl &file : files) {
        const QString path = file.toLocalFile();
        const QString name = QFileInfo(path).fileName();
        // One file at a time, read and encoded off the main thread slice by slice (the next slice
        // is read while the page takes the current one); the page joins the slices and receives
        // the whole file in one call of its bridge function.
        auto reader = std::make_shared<web::Base64Reader>(path);
        if (!reader->isOpen())
            continue;
        log(QStringLiteral("bridge injecting %1 (%2KB base64)").arg(name).arg(reader->encodedSize() / 1024));
        auto start = evaluateStep(m_view ? m_view->page() : nullptr, web::bridgeStartScript());
        QString failure = co_await std::move(start);
        if (!self)
            co_return;
        auto readNext = [reader] { return reader->nextStagingScript(); };
        QFuture<std::optional<QString>> next = runInBackground(readNext);
        while (failure.isEmpty()) {
            std::optional<QString> slice = co_await std::move(next);
            if (!self)
                co_return;
            if (!slice) {
                failure = QStringLiteral("cannot read ") + name;
                break;
            }
            const bool last = slice->isEmpty();
            if (!last)
                next = runInBackground(readNext);
            auto step = evaluateStep(m_view ? m_view->page() : nullptr,
                                     last ? web::bridgeFinishScript(target, name) : std::move(*slice));
            slice.reset();
            failure = co_await std::move(step);
            if (!self)
                co_return;
            if (last)
                break;
        }
        if (!failure.isEmpty())
            web::consoleLine(QStringLiteral("HANDLE bridge inject error: %1").arg(failure));
    }
    web::consoleLine(QStringLiteral("HANDLE bridge injected %1 file(s)").arg(files.size()));
    emit bridgeInjected(int(files.size()));
}

QPointF DropBridge::toWindow(const QPointF &pagePoint) const
{
    const QPointF viewPoint = pagePoint * m_view->zoomFactor();
    return m_view->mapTo(m_view->window(), viewPoint);
}

void DropBridge::clickPagePoint(const Target &target)
{
    if (!m_view)
        return;
    QWidget *window = m_view->window();
    if (!window || !window->windowHandle()) {
        web::consoleLine(QStringLiteral("HANDLE no window"));
        return;
    }
    const QPointF viewPoint = QPointF(target.x, target.y) * m_view->zoomFactor();
    const QPointF global = m_view->mapToGlobal(viewPoint);
    window->activateWindow();
    window->raise();
    // A genuine press and release on the engine's input widget: the page sees a user gesture and
    // may open its file chooser, which chooseFiles() then answers.
    QPointer<QWidget> input = m_view->focusProxy() ? m_view->focusProxy() : m_view.data();
    const QPointF local = input->mapFrom(m_view, viewPoint);
    const auto send = [input, local, global, window = QPointer(window)](QEvent::Type type, Qt::MouseButtons buttons) {
        if (!input || !window)
            return;
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, local, input->mapTo(window, local), global, button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(input, &event);
    };
    send(QEvent::MouseMove, Qt::NoButton);
    const QString id = target.id;
    QTimer::singleShot(kClickSpacingMs, this, [send] { send(QEvent::MouseButtonPress, Qt::LeftButton); });
    QTimer::singleShot(2 * kClickSpacingMs, this, [this, send, viewPoint, global, id] {
        send(QEvent::MouseButtonRelease, Qt::NoButton);
        web::debugLine(QStringLiteral("HANDLE real click at %1,%2 target=%3").arg(int(global.x())).arg(int(global.y())).arg(id));
        log(QStringLiteral("click posted at %1,%2 target=%3").arg(int(global.x())).arg(int(global.y())).arg(id));
        emit clickPosted(viewPoint, id);
    });
}

void DropBridge::armPanelRetry()
{
    m_retry->start();
}

void DropBridge::cancelRetry()
{
    m_retry->stop();
}

void DropBridge::clearPending()
{
    m_pendingFiles.reset();
    m_pendingHasView = false;
    m_pendingPageUrl.clear();
}

void DropBridge::invalidatePendingDrop()
{
    if (!m_pendingFiles)
        return;
    log(QStringLiteral("navigation invalidated pending drop"));
    m_pendingFiles.reset();
    cancelRetry();
}

QStringList DropBridge::chooseFiles(QWebEnginePage::FileSelectionMode mode, const QStringList &acceptedMimeTypes)
{
    const QString page = m_view ? web::pageName(m_view->url()) : QStringLiteral("?");
    const int count = m_pendingFiles ? int(m_pendingFiles->size()) : 0;
    web::debugLine(QStringLiteral("PANEL requested page=%1 (pending=%2)").arg(page).arg(count));
    log(QStringLiteral("runOpenPanel page=%1 pending=%2").arg(page).arg(count));

    // The engine asks only for the frame that showed the chooser; sub-frames of other origins
    // cannot load here (navigation policy), so a fresh drop on this page answers it.
    const bool fresh = m_pendingTimestamp.isValid() &&
                       m_pendingTimestamp.msecsTo(QDateTime::currentDateTimeUtc()) < kPanelWindowMs;
    if (m_view && m_pendingHasView && count > 0 && m_pendingPageUrl == m_view->url() && fresh) {
        web::debugLine(QStringLiteral("PANEL consuming %1 pending files").arg(count));
        QStringList paths;
        for (const QUrl &file : std::as_const(*m_pendingFiles))
            paths << file.toLocalFile();
        m_pendingHasView = false;
        m_pendingFiles.reset();
        cancelRetry();
        m_view->page()->runJavaScript(QStringLiteral(
            "(function(){var a=document.querySelector('.file-input-area');if(a)a.classList.remove('drag-over');})()"));
        return paths;
    }
    if (showDialog)
        return showDialog(mode, acceptedMimeTypes);
    QWidget *parent = m_view ? m_view->window() : nullptr;
    switch (mode) {
    case QWebEnginePage::FileSelectUploadFolder: {
        const QString folder = QFileDialog::getExistingDirectory(parent);
        return folder.isEmpty() ? QStringList() : QStringList{folder};
    }
    case QWebEnginePage::FileSelectOpenMultiple:
        return QFileDialog::getOpenFileNames(parent);
    default: {
        const QString file = QFileDialog::getOpenFileName(parent);
        return file.isEmpty() ? QStringList() : QStringList{file};
    }
    }
}

void DropBridge::injectSimulatedDropIfNeeded()
{
    if (m_didInjectSimulatedDrop)
        return;
    const QString text = Settings::shared().string(QString::fromLatin1(keys::simulateDrop)).trimmed();
    if (text.isEmpty())
        return;
    m_didInjectSimulatedDrop = true;
    QList<QUrl> files;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        files << QUrl::fromLocalFile(part);
    route(files, QPointF(0, 0));
}

void DropBridge::startDiagnostics()
{
    if (setting(keys::dropAreaDebug)) {
        for (int i = 0; i < 9; ++i) {
            QTimer::singleShot(i * 3000, this, [this] {
                if (!m_view)
                    return;
                QPointer self(this);
                m_view->page()->runJavaScript(web::scripts::dropAreaCentre(), [self](const QVariant &result) {
                    if (!self || !self->m_view)
                        return;
                    const QVariantMap map = result.toMap();
                    bool okX = false, okY = false;
                    const double x = map.value(QStringLiteral("x")).toDouble(&okX);
                    const double y = map.value(QStringLiteral("y")).toDouble(&okY);
                    if (!okX || !okY) {
                        web::consoleLine(QStringLiteral("DROPAREA not-found"));
                        return;
                    }
                    QWidget *window = self->m_view->window();
                    if (!window) {
                        web::consoleLine(QStringLiteral("DROPAREA page %1,%2 (no window)").arg(int(x)).arg(int(y)));
                        return;
                    }
                    const QPoint screen = window->mapToGlobal(self->toWindow(QPointF(x, y))).toPoint();
                    web::consoleLine(
                        QStringLiteral("DROPAREA %1 %2 page %3,%4").arg(screen.x()).arg(screen.y()).arg(int(x)).arg(int(y)));
                });
            });
        }
    }
    if (setting(keys::queueProbe)) {
        if (setting(keys::dropBridgeLog) && m_view) {
            QStringList names;
            for (QObject *child : m_view->children())
                if (child->isWidgetType())
                    names << QString::fromLatin1(child->metaObject()->className());
            web::consoleLine(QStringLiteral("SUBVIEWS ") + names.join(QStringLiteral(", ")));
        }
        for (int i = 1; i <= 100; ++i) {
            QTimer::singleShot(i * 3000, this, [this] {
                if (!m_view)
                    return;
                m_view->page()->runJavaScript(web::scripts::queueProbe(), [](const QVariant &result) {
                    web::consoleLine(QStringLiteral("STATUS ") +
                                     (result.typeId() == QMetaType::QString ? result.toString() : QStringLiteral("?")));
                });
            });
        }
    }
}

} // namespace hoplin
