#include "DragWatch.h"

#include <QApplication>
#include <QCursor>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QWidget>
#include <cstdio>

namespace hoplin {

DragWatch::DragWatch(Printer printer, QObject *parent)
    : QObject(parent)
    , m_print(std::move(printer))
    , m_lastMouse(QCursor::pos())
{
    if (!m_print) {
        m_print = [](const QString &line) {
            const QByteArray bytes = line.toUtf8() + '\n';
            fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
            fflush(stdout);
        };
    }
    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &DragWatch::tick);
}

DragWatch::~DragWatch()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

void DragWatch::start()
{
    qApp->installEventFilter(this);
    m_timer.start();
}

bool DragWatch::eventFilter(QObject *, QEvent *event)
{
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
        const auto *drag = static_cast<QDropEvent *>(event);
        // The same drag reaches every widget it crosses; count it once.
        if (drag->mimeData() != m_lastDrag) {
            m_lastDrag = drag->mimeData();
            ++m_changeCount;
        }
        m_files = false;
        if (drag->mimeData() && drag->mimeData()->hasUrls()) {
            for (const QUrl &url : drag->mimeData()->urls())
                m_files = m_files || url.isLocalFile();
        }
    } else if (event->type() == QEvent::Drop) {
        m_lastDrag = nullptr; // the next drag is a new one even if Qt reuses the address
    }
    return false;
}

void DragWatch::tick()
{
    const QPoint mouse = QCursor::pos();
    if (m_changeCount == m_lastChange && mouse == m_lastMouse)
        return;
    m_lastChange = m_changeCount;
    m_lastMouse = mouse;
    m_print(describe(mouse));
}

QString DragWatch::describe(const QPoint &mouse) const
{
    bool inWindow = false;
    QString frame = QStringLiteral("?");
    for (QWidget *window : QApplication::topLevelWidgets()) {
        // Only widgets that became platform windows; never-shown ones have no real geometry.
        if (!window->isWindow() || !window->windowHandle())
            continue;
        const QRect geometry = window->frameGeometry();
        inWindow = inWindow || geometry.contains(mouse);
        if (frame == u"?" && window->isVisible()) {
            frame = QStringLiteral("%1,%2 %3x%4")
                        .arg(QString::number(geometry.x()), QString::number(geometry.y()),
                             QString::number(geometry.width()), QString::number(geometry.height()));
        }
    }
    const bool front = QGuiApplication::applicationState() == Qt::ApplicationActive;
    auto flag = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
    return QStringLiteral("DRAGWATCH change=%1 files=%2 mouse=%3,%4 inWindow=%5 front=%6 frame=%7")
        .arg(QString::number(m_changeCount), flag(m_files), QString::number(mouse.x()), QString::number(mouse.y()),
             flag(inWindow), flag(front), frame);
}

} // namespace hoplin
