#pragma once

#include "FFmpegInstallSheet.h"
#include "convert/ConvertRunner.h"
#include "service/Records.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QWidget>
#include <optional>
#include <span>

class QCheckBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace hoplin {

class ConvertCard;
class QueueModel;
class QueueView;
class SessionStore;

// The Convert tab: one card per kind of conversion script, the queue, and the status bar. Owns
// the page's ConvertRunner for its whole life, so switching tabs never resets a queue.
class ConvertPage : public QWidget {
    Q_OBJECT
public:
    explicit ConvertPage(SessionStore &store, QWidget *parent = nullptr);
    ~ConvertPage() override;

    ConvertRunner &runner() { return m_runner; }
    std::optional<QString> ffmpeg() const { return m_ffmpeg; }

    // What happens when the page first appears: find ffmpeg, offer the installer once, start the
    // launch automation. The main window calls it when it opens, whichever tab shows; later calls
    // do nothing.
    void appear();
    // Whether the Convert tab is the selected one; the main window keeps it current.
    void setActive(bool active);
    bool isActive() const { return m_active; }

    // The presets each card uses, from the store's current list.
    QList<Preset> videoPresets() const;
    std::optional<Preset> selectedVideoPreset() const;
    std::optional<Preset> m4aPreset() const;
    QList<Preset> normalisePresets() const;
    std::optional<Preset> selectedNormalisePreset() const;
    std::optional<Preset> videoNormalisePreset() const;

    void enqueue(const QStringList &paths, const Preset &preset);
    // A drop that reached a card: queued while the tab shows, otherwise handed to the web tabs.
    bool dropOnCard(const QStringList &paths, const Preset &preset);
    void openInstallSheet();
    // Looks for ffmpeg again, for example after another window installed one.
    void recheckFFmpeg();
    FFmpegInstallSheet *installSheet() const { return m_sheet; }
    QString statusText() const;
    QString outputLine() const;
    QueueView *queueView() const { return m_queueView; }

    // Widgets the tests look at.
    ConvertCard *card(const QString &key) const;
    QList<ConvertCard *> cards() const;

signals:
    void ffmpegChanged();
    void preferencesRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void buildLayout();
    void refresh();
    struct CardSlot {
        QString slot;
        std::optional<Preset> preset;
        QList<Preset> choices;
    };
    void layOutCards(std::span<const CardSlot> entries);
    void scheduleRefresh();
    void refreshCards();
    void refreshCardItems();
    void refreshQueue();
    void triggerAction(int row, int action);
    void refreshStatus();
    void resolveFFmpeg();
    void setFFmpeg(const std::optional<QString> &ffmpeg);
    void presetsChanged();
    void refreshScripts();
    void startAutomation();
    void runNow();
    void startRun();
    void onRunningChanged();

    SessionStore &m_store;
    ConvertRunner m_runner;
    std::optional<QString> m_ffmpeg;
    bool m_active = false;
    bool m_firstShown = false;
    bool m_didAutoPromptInstall = false;
    bool m_wasRunning = false;
    std::optional<QString> m_selectedVideoCodecID;
    std::optional<QString> m_selectedNormaliseID;
    QPointer<FFmpegInstallSheet> m_sheet;

    QWidget *m_ffmpegCard = nullptr;
    QLabel *m_signInHint = nullptr;
    QWidget *m_connectedArea = nullptr;
    QCheckBox *m_autoStart = nullptr;
    QPushButton *m_installButton = nullptr;
    QPushButton *m_convertButton = nullptr;
    QPushButton *m_stopButton = nullptr;
    QPushButton *m_refreshButton = nullptr;
    QGridLayout *m_cardGrid = nullptr;
    QHash<QString, ConvertCard *> m_cards;
    QStringList m_cardsSignature;
    QLabel *m_queueCounts = nullptr;
    QPushButton *m_clearFinished = nullptr;
    QLabel *m_queueEmpty = nullptr;
    QueueModel *m_queueModel = nullptr;
    QueueView *m_queueView = nullptr;
    // Changes come one item at a time; the parts that look at the whole queue (counts, cards)
    // catch up once per event-loop turn, the cards at most a few times a second.
    QTimer *m_refreshTimer = nullptr;
    QElapsedTimer m_refreshClock;
    QTimer *m_cardItemsTimer = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_output = nullptr;
};

} // namespace hoplin
