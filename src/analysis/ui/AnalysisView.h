#pragma once

#include "analysis/AnalysisRunner.h"
#include "service/SessionStore.h"

#include <QColor>
#include <QCoro/QCoroTask>
#include <QHash>
#include <QSet>
#include <QUrl>
#include <QUuid>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

class QTimer;

namespace hoplin {

class DropZone;
class ElidedLabel;
class CardColumn;
class ItemCard;
class Spinner;

// The Analysis tab: hands audio files to its runner (drop, file or folder panel), shows one card
// per file with the analysis once it is there, saves the service's report, and a status bar with
// the connection, the runner's status line and the session count. Made once with the main window.
class AnalysisView : public QWidget {
    Q_OBJECT
public:
    explicit AnalysisView(SessionStore &store, QWidget *parent = nullptr);
    ~AnalysisView() override;

    AnalysisRunner &runner() { return m_runner; }
    // Whether the Analysis tab is the selected one; the main window keeps it current.
    void setActive(bool active) { m_active = active; }
    bool isActive() const { return m_active; }

    void enqueue(const QStringList &paths);
    void chooseFiles();
    void chooseFolder();
    void toggle(const QUuid &id);
    bool isExpanded(const QUuid &id) const { return m_expanded.contains(id); }
    void retry(const QUuid &id);
    void saveReport(const QUuid &id);

    // A drop on the drop card: queued while the tab is shown; otherwise it reached the hidden page
    // and goes on to the web tabs (accepted) or, under the Convert tab, is refused.
    bool handleDrop(const QList<QUrl> &urls);

    static QString connectionLabel(const ConnectionState &state);
    static QColor connectionColor(const ConnectionState &state);
    // "Take 1.wav" gives "Take 1_report.txt".
    static QString suggestedReportName(const QString &input);

signals:
    // The status bar's Preferences button; the window that owns the page opens them.
    void preferencesRequested();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *buildDropCard();
    QWidget *buildSignInHint();
    QWidget *buildStatusBar();
    void refreshItems();
    ItemCard *makeCard(const QUuid &id);
    void refreshProgress(const QUuid &id);
    void refreshRunning();
    void refreshConnection();
    void refreshStatus();
    void runLaunchAutomation();

    QCoro::Task<> runChooser(bool folders);
    QCoro::Task<> runSaveReport(QUuid id);
    QCoro::Task<> runAutoAnalyze(QStringList paths);

    SessionStore &m_store;
    AnalysisRunner m_runner;
    bool m_active = false;
    bool m_launched = false;
    QSet<QUuid> m_expanded;

    QWidget *m_signInHint = nullptr;
    QWidget *m_dropCard = nullptr;
    DropZone *m_dropZone = nullptr;
    Spinner *m_dropSpinner = nullptr;
    QPushButton *m_clearFinished = nullptr;
    QPushButton *m_stop = nullptr;
    CardColumn *m_cards = nullptr;
    QSet<QUuid> m_dirtyCards; // changed since their card was last drawn
    bool m_statusPending = false; // the status line changed during a run, not shown yet
    QTimer *m_cardTimer = nullptr;

    QLabel *m_dot = nullptr;
    QLabel *m_connection = nullptr;
    ElidedLabel *m_statusText = nullptr;
    QLabel *m_count = nullptr;
};

} // namespace hoplin
