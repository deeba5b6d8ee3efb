#pragma once

#include "ReusableWindow.h"
#include "service/KeychainStore.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class QAbstractButton;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace hoplin {

class DiagnosticsLogger;
class FFmpegInstallSheet;
class Spinner;

// How the form reaches the remembered key; the real keyring by default, a stand-in in tests.
// Every call blocks and runs on a pool thread.
struct KeychainAccess {
    std::function<KeychainStore::Result(const QString &)> save;
    std::function<std::optional<QString>()> load;
    std::function<KeychainStore::Result()> remove;

    static KeychainAccess system();
};

// The settings form: remembered key, FFmpeg, output folder, diagnostics log and updates. Every
// control writes its setting the moment it changes; the pages that use a setting read it afresh.
class PreferencesView : public QWidget {
    Q_OBJECT
public:
    explicit PreferencesView(KeychainAccess keychain, DiagnosticsLogger &logger, QWidget *parent = nullptr);

    // "5 MB", "1023 KB", "1023 B": the size as the log summary words it.
    static QString sizeText(qint64 bytes);
    QString logSummary() const;

    // The actions behind the buttons, without their panels.
    QCoro::Task<> remember();
    QCoro::Task<> clear();
    QCoro::Task<> exportLog(QString path);
    void openInstallSheet();
    FFmpegInstallSheet *installSheet() const;

    // Filled in by the update manager once it is connected: the status line under the version,
    // and whether "Check for Updates…" can be pressed (it asks through updateCheckRequested).
    void setUpdateStatus(const QString &text);
    void setUpdateCheckAvailable(bool available);
    // One line of status about how FFmpeg runs (for example its confinement); hidden when empty.
    void setToolsStatus(const QString &text);

signals:
    void updateCheckRequested();
    // An FFmpeg was installed from this window; the Convert page looks again.
    void ffmpegInstalled(const QString &path);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QWidget *buildBanner();
    QWidget *buildAccount();
    QWidget *buildTools();
    QWidget *buildOutput();
    QWidget *buildDiagnostics();
    QWidget *buildUpdates();

    void readSettings();
    void onSettingChanged(const QString &key);
    QCoro::Task<> loadKey();
    QCoro::Task<> refreshVersion();
    void showFFmpeg();
    void setKeychainBusy(bool busy);
    void setNote(QLabel *note, const QString &text);
    // "Could not save: …" / "Could not remove: …" for a keyring failure code, which goes to the log.
    QString keychainFailure(const QString &verb, qint32 code);
    void setLogging(bool on);
    void refreshLogSummary();
    void chooseFFmpeg();
    void chooseFolder();
    void exportWithPanel();
    void openLogFolder();

    KeychainAccess m_keychain;
    DiagnosticsLogger &m_logger;
    std::optional<QString> m_ffmpeg;
    std::optional<QString> m_detectedVersion;
    quint64 m_versionProbe = 0; // a newer probe overtakes an older one
    QPointer<FFmpegInstallSheet> m_sheet;
    QTimer m_logPoll;

    QFrame *m_banner = nullptr;
    QLineEdit *m_keyField = nullptr;
    QPushButton *m_remember = nullptr;
    QPushButton *m_clear = nullptr;
    Spinner *m_keySpinner = nullptr;
    QLabel *m_keyNote = nullptr;
    QLabel *m_binary = nullptr;
    QLabel *m_version = nullptr;
    QPushButton *m_installTools = nullptr;
    QLineEdit *m_override = nullptr;
    QLabel *m_toolsStatus = nullptr;
    QSpinBox *m_atOnce = nullptr;
    QRadioButton *m_sameAsSource = nullptr;
    QRadioButton *m_customFolder = nullptr;
    QWidget *m_folderRow = nullptr;
    QLabel *m_folderPath = nullptr;
    QLabel *m_outputCaption = nullptr;
    QCheckBox *m_logging = nullptr;
    QLabel *m_logSummary = nullptr;
    QLabel *m_diagnosticsNote = nullptr;
    QLabel *m_updateStatus = nullptr;
    QPushButton *m_checkUpdates = nullptr;
};

// The one Preferences window of the process, created on first use and hidden (not destroyed)
// when closed.
struct Phase;

class PreferencesWindowController : public windows::WindowController {
    Q_OBJECT
public:
    static PreferencesWindowController &shared();

    PreferencesView *view();
    // The Updates section's status line for an updater phase.
    static QString updateStatusLine(const Phase &phase);

signals:
    void ffmpegInstalled(const QString &path);

private:
    PreferencesWindowController() = default;
    QWidget *build() override;
    QPointer<PreferencesView> m_view;
};

} // namespace hoplin
