#pragma once

#include "FFmpegInstallSheet.h"
#include "convert/ConvertRunner.h"
#include "service/Records.h"

#include <QHash>
#include <QPointer>
#include <QWidget>
#include <optional>

class QCheckBox;
class QGridLayout;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace hoplin {

class ConvertCard;
class QueueRow;
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
    void refreshCards();
    void refreshQueue();
    void refreshStatus();
    void resolveFFmpeg();
    void presetsChanged();
    void refreshScripts();
    void startAutomation();
    void runNow();
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
    QLabel *m_queueCounts = nullptr;
    QPushButton *m_clearFinished = nullptr;
    QLabel *m_queueEmpty = nullptr;
    QVBoxLayout *m_queueRows = nullptr;
    QHash<QUuid, QueueRow *> m_rows;
    QLabel *m_status = nullptr;
    QLabel *m_output = nullptr;
};

} // namespace hoplin
