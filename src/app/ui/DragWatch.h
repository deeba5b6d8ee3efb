#pragma once

#include <QObject>
#include <QPoint>
#include <QTimer>
#include <functional>

namespace hoplin {

// Developer switch "dragWatch": ten times a second, when the drag state or the mouse moved, one
// "DRAGWATCH …" line on standard output. X11 and Wayland have no global drag pasteboard that an
// application can poll, so the change count here counts the drags that reached this
// application's own windows, and "files" tells whether the last of them carried local files.
class DragWatch : public QObject {
    Q_OBJECT
public:
    using Printer = std::function<void(const QString &line)>;

    // Prints to standard output unless given another printer.
    explicit DragWatch(Printer printer = {}, QObject *parent = nullptr);
    ~DragWatch() override;

    void start();
    // One tick; public so tests need not wait for the timer.
    void tick();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString describe(const QPoint &mouse) const;

    Printer m_print;
    QTimer m_timer;
    qint64 m_changeCount = 0;
    bool m_files = false;
    const void *m_lastDrag = nullptr;
    qint64 m_lastChange = -1;
    QPoint m_lastMouse;
};

} // namespace hoplin
