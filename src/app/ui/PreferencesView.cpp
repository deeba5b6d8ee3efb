#include "PreferencesView.h"

#include "Application.h"
#include "ReusableWindow.h"
#include "convert/FFmpegLocator.h"
#include "convert/Preferences.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "platform/Sandbox.h"
#include "platform/Settings.h"
#include "service/Async.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"
#include "update/UpdateManager.h"
#include "version.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

namespace hoplin {

namespace {

constexpr int kFormWidth = 560;
const QString kDiagnostics = QStringLiteral("diagnostics");

QString setting(const char *key)
{
    return Settings::shared().string(QLatin1String(key));
}

QLabel *caption(const QString &text)
{
    auto *label = theme::label(text, 11, Hoplin::muted);
    label->setWordWrap(true);
    return label;
}

// A wrapping label the form fills in later, named for the tests.
QLabel *namedLabel(const QString &objectName, int pixels, const QColor &color, const QString &text = {})
{
    auto *label = theme::label(text, pixels, color);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    return label;
}

// The outcome of a section's last action; hidden until there is one.
QLabel *noteLabel(const QString &objectName)
{
    auto *label = namedLabel(objectName, 12, Hoplin::accentInk);
    label->hide();
    return label;
}

QPushButton *button(const QString &text, const QString &objectName)
{
    auto *result = new QPushButton(text);
    result->setObjectName(objectName);
    return result;
}

// A titled group: the title above a white card holding the rows.
QWidget *section(const QString &title, const QString &objectName, QVBoxLayout *&rows)
{
    auto *box = new QWidget;
    box->setObjectName(objectName);
    auto *outer = new QVBoxLayout(box);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(6);
    outer->addWidget(theme::label(title, 13, Hoplin::ink, nullptr, QFont::DemiBold));
    auto *card = new QFrame;
    card->setObjectName(objectName + QStringLiteral("Card"));
    card->setStyleSheet(QStringLiteral("#%1 { background: %2; border: 1px solid %3; border-radius: 8px; }")
                            .arg(card->objectName(), Hoplin::card.name(), Hoplin::line.name()));
    rows = new QVBoxLayout(card);
    rows->setContentsMargins(14, 12, 14, 12);
    rows->setSpacing(8);
    outer->addWidget(card);
    return box;
}

QHBoxLayout *row(std::initializer_list<QWidget *> widgets, bool stretch = true)
{
    auto *layout = new QHBoxLayout;
    layout->setSpacing(8);
    for (QWidget *widget : widgets)
        layout->addWidget(widget);
    if (stretch)
        layout->addStretch(1);
    return layout;
}

} // namespace

KeychainAccess KeychainAccess::system()
{
    return {&KeychainStore::save, &KeychainStore::load, &KeychainStore::remove};
}

PreferencesView::PreferencesView(KeychainAccess keychain, DiagnosticsLogger &logger, QWidget *parent)
    : QWidget(parent)
    , m_keychain(std::move(keychain))
    , m_logger(logger)
{
    setObjectName(QStringLiteral("preferencesView"));

    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("preferencesContent"));
    content->setFixedWidth(kFormWidth);
    auto *sections = new QVBoxLayout(content);
    sections->setContentsMargins(0, 16, 0, 16);
    sections->setSpacing(18);
    sections->addWidget(buildBanner());
    sections->addWidget(buildAccount());
    sections->addWidget(buildTools());
    sections->addWidget(buildOutput());
    sections->addWidget(buildDiagnostics());
    sections->addWidget(buildUpdates());
    sections->addStretch(1);

    auto *scroll = new QScrollArea;
    scroll->setObjectName(QStringLiteral("preferencesScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidgetResizable(true);
    scroll->setAlignment(Qt::AlignHCenter);
    scroll->setWidget(content);
    scroll->viewport()->setAutoFillBackground(false);
    content->setAutoFillBackground(false);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    readSettings();
    showFFmpeg();
    refreshLogSummary();
    connect(&Settings::shared(), &Settings::changed, this, &PreferencesView::onSettingChanged);
    // The log grows while the window is open; its summary follows.
    m_logPoll.setInterval(2000);
    connect(&m_logPoll, &QTimer::timeout, this, &PreferencesView::refreshLogSummary);
}

QWidget *PreferencesView::buildBanner()
{
    m_banner = new QFrame;
    m_banner->setObjectName(QStringLiteral("ffmpegBanner"));
    m_banner->setStyleSheet(
        QStringLiteral("#ffmpegBanner { background: %1; border: 1px solid %2; border-radius: 8px; }")
            .arg(Hoplin::accentSoft.name(), Hoplin::accent.name()));
    auto *icon = theme::label(QStringLiteral("⚠"), 20, Hoplin::accentInk);
    auto *title = theme::label(QStringLiteral("FFmpeg is required"), 13, Hoplin::ink, nullptr, QFont::DemiBold);
    auto *text = theme::label(QStringLiteral("Conversions won't work until FFmpeg is installed."), 12, Hoplin::ink);
    text->setWordWrap(true);
    auto *install = button(QStringLiteral("Install FFmpeg"), QStringLiteral("bannerInstallButton"));
    install->setDefault(true);
    connect(install, &QPushButton::clicked, this, &PreferencesView::openInstallSheet);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(title);
    texts->addWidget(text);
    auto *layout = new QHBoxLayout(m_banner);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->setSpacing(12);
    layout->addWidget(icon);
    layout->addLayout(texts, 1);
    layout->addWidget(install);
    return m_banner;
}

QWidget *PreferencesView::buildAccount()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Account"), QStringLiteral("accountSection"), rows);
    m_keyField = new QLineEdit;
    m_keyField->setObjectName(QStringLiteral("keyField"));
    m_keyField->setEchoMode(QLineEdit::Password);
    m_keyField->setPlaceholderText(QStringLiteral("Paste your client key"));
    rows->addWidget(m_keyField);

    m_remember = button(QStringLiteral("Remember"), QStringLiteral("rememberButton"));
    m_clear = button(QStringLiteral("Clear"), QStringLiteral("clearButton"));
    m_keySpinner = new Spinner(14);
    m_keySpinner->setObjectName(QStringLiteral("keychainSpinner"));
    m_keySpinner->hide();
    connect(m_remember, &QPushButton::clicked, this,
            [this] { detach(remember(), kDiagnostics, QStringLiteral("remember key")); });
    connect(m_clear, &QPushButton::clicked, this,
            [this] { detach(clear(), kDiagnostics, QStringLiteral("clear key")); });
    connect(m_keyField, &QLineEdit::returnPressed, m_remember, &QPushButton::click);
    rows->addLayout(row({m_remember, m_clear, m_keySpinner}));
    rows->addWidget(caption(platform::localText(
        QStringLiteral("Stored securely in your Mac's Keychain. Clear removes it. Remember is separate from the "
                       "current session's Sign out."))));
    m_keyNote = noteLabel(QStringLiteral("keyNote"));
    rows->addWidget(m_keyNote);
    return box;
}

QWidget *PreferencesView::buildTools()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Conversion tools"), QStringLiteral("toolsSection"), rows);
    m_binary = namedLabel(QStringLiteral("binaryLabel"), 12, Hoplin::ink);
    m_binary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rows->addWidget(m_binary);
    m_version = namedLabel(QStringLiteral("versionLabel"), 11, Hoplin::muted);
    m_version->hide();
    rows->addWidget(m_version);
    m_installTools = button(QStringLiteral("Install FFmpeg…"), QStringLiteral("installButton"));
    connect(m_installTools, &QPushButton::clicked, this, &PreferencesView::openInstallSheet);
    rows->addLayout(row({m_installTools}));

    m_override = new QLineEdit;
    m_override->setObjectName(QStringLiteral("overrideField"));
    m_override->setPlaceholderText(QStringLiteral("Path to an ffmpeg binary (optional override)"));
    connect(m_override, &QLineEdit::textChanged, this, [](const QString &text) {
        const QString key = QLatin1String(keys::ffmpegPathOverride);
        if (text.isEmpty())
            Settings::shared().remove(key);
        else
            Settings::shared().setValue(key, text);
    });
    auto *choose = button(QStringLiteral("Choose…"), QStringLiteral("chooseFFmpegButton"));
    connect(choose, &QPushButton::clicked, this, &PreferencesView::chooseFFmpeg);
    auto *reset = button(QStringLiteral("Reset"), QStringLiteral("resetOverrideButton"));
    connect(reset, &QPushButton::clicked, m_override, &QLineEdit::clear);
    auto *overrideRow = row({m_override, choose, reset}, false);
    overrideRow->setStretch(0, 1);
    rows->addLayout(overrideRow);
    rows->addWidget(caption(platform::localText(QStringLiteral(
        "Leave blank to use the managed copy in Application Support/Hoplin/FFmpegTools, then Homebrew."))));
    m_toolsStatus = namedLabel(QStringLiteral("toolsStatus"), 11, Hoplin::muted);
    m_toolsStatus->hide();
    rows->addWidget(m_toolsStatus);
    // What holds a preset's ffmpeg in, and what this kernel cannot hold.
    QLabel *fence = namedLabel(QStringLiteral("sandboxLabel"), 11, Hoplin::muted);
    fence->setWordWrap(true);
    fence->setText(QStringLiteral("Sandbox: ") + platform::Sandbox::describe(platform::Sandbox::status()));
    rows->addWidget(fence);
    return box;
}

QWidget *PreferencesView::buildOutput()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Output"), QStringLiteral("outputSection"), rows);
    rows->addWidget(theme::label(QStringLiteral("Where outputs go"), 12, Hoplin::ink));
    m_sameAsSource = new QRadioButton(QStringLiteral("Same folder as the source file"));
    m_sameAsSource->setObjectName(QStringLiteral("sameAsSourceRadio"));
    m_customFolder = new QRadioButton(QStringLiteral("Chosen folder…"));
    m_customFolder->setObjectName(QStringLiteral("customFolderRadio"));
    auto *group = new QButtonGroup(this);
    group->addButton(m_sameAsSource);
    group->addButton(m_customFolder);
    connect(group, &QButtonGroup::buttonToggled, this, [this](QAbstractButton *which, bool checked) {
        if (!checked)
            return;
        const auto location = which == m_customFolder ? ExportLocation::CustomFolder : ExportLocation::SameAsSource;
        Settings::shared().setValue(QLatin1String(keys::exportLocation), Preferences::rawValue(location));
    });
    rows->addWidget(m_sameAsSource);
    rows->addWidget(m_customFolder);

    m_folderRow = new QWidget;
    auto *chooseFolder = button(QStringLiteral("Choose Folder…"), QStringLiteral("chooseFolderButton"));
    connect(chooseFolder, &QPushButton::clicked, this, &PreferencesView::chooseFolder);
    m_folderPath = theme::label(QString(), 12, Hoplin::ink);
    m_folderPath->setObjectName(QStringLiteral("folderPath"));
    m_folderPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *folderLayout = row({chooseFolder, m_folderPath});
    folderLayout->setContentsMargins(22, 0, 0, 0);
    folderLayout->setStretch(1, 1);
    m_folderRow->setLayout(folderLayout);
    rows->addWidget(m_folderRow);
    m_outputCaption = namedLabel(QStringLiteral("outputCaption"), 11, Hoplin::muted);
    rows->addWidget(m_outputCaption);
    return box;
}

QWidget *PreferencesView::buildDiagnostics()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Diagnostics"), QStringLiteral("diagnosticsSection"), rows);
    m_logging = new QCheckBox(QStringLiteral("Logging"));
    m_logging->setObjectName(QStringLiteral("loggingSwitch"));
    connect(m_logging, &QCheckBox::toggled, this, &PreferencesView::setLogging);
    rows->addWidget(m_logging);
    rows->addWidget(caption(QStringLiteral("Constantly records app activity to a local file — off by default. Switch "
                                           "on only when asked, then export the TXT and send it over.")));
    rows->addWidget(caption(platform::localText(QStringLiteral("The log stays on this Mac — it is never uploaded."))));
    m_logSummary = namedLabel(QStringLiteral("logSummary"), 11, Hoplin::ink);
    m_logSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    rows->addWidget(m_logSummary);
    auto *exportButton = button(QStringLiteral("Export…"), QStringLiteral("exportButton"));
    connect(exportButton, &QPushButton::clicked, this, &PreferencesView::exportWithPanel);
    auto *openFolder = button(QStringLiteral("Open Folder"), QStringLiteral("openFolderButton"));
    connect(openFolder, &QPushButton::clicked, this, &PreferencesView::openLogFolder);
    rows->addLayout(row({exportButton, openFolder}));
    m_diagnosticsNote = noteLabel(QStringLiteral("diagnosticsNote"));
    rows->addWidget(m_diagnosticsNote);
    return box;
}

QWidget *PreferencesView::buildUpdates()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Updates"), QStringLiteral("updatesSection"), rows);
    auto *version = theme::label(QStringLiteral("%1 %2 (%3)")
                                     .arg(QLatin1String(version::kAppName), QLatin1String(version::kVersion))
                                     .arg(version::kBuild),
                                 12, Hoplin::ink);
    version->setObjectName(QStringLiteral("appVersionLabel"));
    rows->addWidget(version);
    m_updateStatus = namedLabel(QStringLiteral("updateStatus"), 11, Hoplin::muted,
                                QStringLiteral("Checks the Hoplin VPS for a newer version."));
    rows->addWidget(m_updateStatus);
    m_checkUpdates = button(QStringLiteral("Check for Updates…"), QStringLiteral("checkUpdatesButton"));
    // Enabled once an update manager answers through setUpdateCheckAvailable.
    m_checkUpdates->setEnabled(false);
    connect(m_checkUpdates, &QPushButton::clicked, this, &PreferencesView::updateCheckRequested);
    rows->addLayout(row({m_checkUpdates}));
    return box;
}

void PreferencesView::setUpdateStatus(const QString &text)
{
    m_updateStatus->setText(text);
}

void PreferencesView::setUpdateCheckAvailable(bool available)
{
    m_checkUpdates->setEnabled(available);
}

void PreferencesView::setToolsStatus(const QString &text)
{
    m_toolsStatus->setText(text);
    m_toolsStatus->setVisible(!text.isEmpty());
}

// Puts the stored values into the controls without writing them back.
void PreferencesView::readSettings()
{
    {
        const QSignalBlocker block(m_override);
        const QString stored = setting(keys::ffmpegPathOverride);
        if (m_override->text() != stored)
            m_override->setText(stored);
    }
    const bool custom = Preferences::exportLocation() == ExportLocation::CustomFolder;
    {
        const QSignalBlocker blockSame(m_sameAsSource);
        const QSignalBlocker blockCustom(m_customFolder);
        (custom ? m_customFolder : m_sameAsSource)->setChecked(true);
    }
    const QString folder = setting(keys::exportFolderPath);
    m_folderPath->setText(folder.isEmpty() ? QStringLiteral("No folder chosen") : folder);
    m_folderRow->setVisible(custom);
    m_outputCaption->setText(
        custom ? QStringLiteral("Converted files are written into this folder (unique names are used to avoid "
                                "overwriting).")
               : QStringLiteral("Converted files are written next to each source file."));
    {
        const QSignalBlocker block(m_logging);
        m_logging->setChecked(Settings::shared().boolean(QLatin1String(keys::hoplinDiag)));
    }
}

void PreferencesView::onSettingChanged(const QString &key)
{
    if (key == QLatin1String(keys::ffmpegPathOverride)) {
        readSettings();
        showFFmpeg();
        detach(refreshVersion(), kDiagnostics, QStringLiteral("ffmpeg version probe"));
    } else if (key == QLatin1String(keys::exportLocation) || key == QLatin1String(keys::exportFolderPath) ||
               key == QLatin1String(keys::hoplinDiag)) {
        readSettings();
    }
}

void PreferencesView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    readSettings();
    showFFmpeg();
    refreshLogSummary();
    m_logPoll.start();
    detach(refreshVersion(), kDiagnostics, QStringLiteral("ffmpeg version probe"));
    detach(loadKey(), kDiagnostics, QStringLiteral("load remembered key"));
}

void PreferencesView::hideEvent(QHideEvent *event)
{
    m_logPoll.stop();
    QWidget::hideEvent(event);
}

QCoro::Task<> PreferencesView::loadKey()
{
    QPointer self(this);
    auto load = m_keychain.load;
    auto loading = runInBackground([load] { return load(); });
    const std::optional<QString> key = co_await loading;
    if (!self)
        co_return;
    // Whatever the user typed meanwhile wins.
    if (key && !key->isEmpty() && m_keyField->text().isEmpty())
        m_keyField->setText(*key);
}

void PreferencesView::showFFmpeg()
{
    m_ffmpeg = Preferences::effectiveFFmpeg();
    m_banner->setVisible(!m_ffmpeg);
    m_installTools->setVisible(!m_ffmpeg);
    m_binary->setText(QStringLiteral("Binary: ") +
                      m_ffmpeg.value_or(QStringLiteral("(not found — use Install FFmpeg on the Convert page)")));
    if (!m_ffmpeg)
        m_detectedVersion.reset();
    m_version->setText(m_detectedVersion.value_or(QString()));
    m_version->setVisible(m_detectedVersion.has_value());
}

QCoro::Task<> PreferencesView::refreshVersion()
{
    const quint64 probe = ++m_versionProbe;
    showFFmpeg();
    if (!m_ffmpeg)
        co_return;
    QPointer self(this);
    auto asking = FFmpegLocator::version(*m_ffmpeg);
    const std::optional<QString> version = co_await std::move(asking);
    if (!self || probe != m_versionProbe)
        co_return;
    m_detectedVersion = version;
    showFFmpeg();
}

void PreferencesView::setKeychainBusy(bool busy)
{
    m_remember->setEnabled(!busy);
    m_clear->setEnabled(!busy);
    m_keySpinner->setVisible(busy);
}

void PreferencesView::setNote(QLabel *note, const QString &text)
{
    note->setText(text);
    note->setVisible(!text.isEmpty());
}

QCoro::Task<> PreferencesView::remember()
{
    const QString key = m_keyField->text().trimmed();
    if (key.isEmpty()) {
        setNote(m_keyNote, QStringLiteral("Enter a client key first."));
        co_return;
    }
    setNote(m_keyNote, {});
    setKeychainBusy(true);
    QPointer self(this);
    auto save = m_keychain.save;
    auto saving = runInBackground([save, key] { return save(key); });
    const KeychainStore::Result result = co_await saving;
    if (!self)
        co_return;
    setKeychainBusy(false);
    setNote(m_keyNote, result.isFailure()
                           ? platform::localText(QStringLiteral("Could not save: the Keychain reported an error (%1)."))
                                 .arg(result.code())
                           : QStringLiteral("Saved — the app connects with this key automatically on launch."));
}

QCoro::Task<> PreferencesView::clear()
{
    setNote(m_keyNote, {});
    setKeychainBusy(true);
    QPointer self(this);
    auto remove = m_keychain.remove;
    auto removing = runInBackground([remove] { return remove(); });
    const KeychainStore::Result result = co_await removing;
    if (!self)
        co_return;
    setKeychainBusy(false);
    m_keyField->clear();
    setNote(m_keyNote,
            result.isFailure()
                ? platform::localText(QStringLiteral("Could not remove: the Keychain reported an error (%1)."))
                      .arg(result.code())
                : QStringLiteral("Removed — the app will no longer auto-connect."));
}

void PreferencesView::chooseFFmpeg()
{
    QFileDialog panel(this, QStringLiteral("Choose an ffmpeg binary. Leave the field blank to use the managed copy."));
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Use"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    m_override->setText(panel.selectedFiles().constFirst());
}

void PreferencesView::chooseFolder()
{
    QFileDialog panel(this, QStringLiteral("Choose where converted files are written."));
    panel.setFileMode(QFileDialog::Directory);
    panel.setOption(QFileDialog::ShowDirsOnly);
    const QString current = setting(keys::exportFolderPath);
    if (!current.isEmpty())
        panel.setDirectory(current);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    Settings::shared().setValue(QLatin1String(keys::exportFolderPath), panel.selectedFiles().constFirst());
}

FFmpegInstallSheet *PreferencesView::installSheet() const
{
    return m_sheet;
}

void PreferencesView::openInstallSheet()
{
    if (m_sheet) {
        m_sheet->raise();
        return;
    }
    m_sheet = new FFmpegInstallSheet(
        [self = QPointer(this)](const QString &path) {
            if (!self)
                return;
            detach(self->refreshVersion(), kDiagnostics, QStringLiteral("ffmpeg version probe"));
            emit self->ffmpegInstalled(path);
        },
        this);
    connect(m_sheet, &QDialog::finished, m_sheet, &QObject::deleteLater);
    m_sheet->open();
}

void PreferencesView::setLogging(bool on)
{
    // The setting changes first: the logger reads it.
    Settings::shared().setValue(QLatin1String(keys::hoplinDiag), on);
    if (on) {
        m_logger.startIfEnabled();
        m_logger.log(kDiagnostics, QStringLiteral("enabled from Preferences"));
        setNote(m_diagnosticsNote, QStringLiteral("Logging on — everything the app does is now recorded."));
    } else {
        // A last line even though the setting is already off, so the log shows why it ends.
        m_logger.finalLog(kDiagnostics, QStringLiteral("disabled from Preferences"));
        m_logger.stop();
        setNote(m_diagnosticsNote, QStringLiteral("Logging off."));
    }
    refreshLogSummary();
}

QString PreferencesView::sizeText(qint64 bytes)
{
    if (bytes / 1048576 >= 1)
        return QStringLiteral("%1 MB").arg(bytes / 1048576);
    if (bytes >= 1024)
        return QStringLiteral("%1 KB").arg(bytes / 1024);
    return QStringLiteral("%1 B").arg(qMax<qint64>(bytes, 0));
}

QString PreferencesView::logSummary() const
{
    const QString path = m_logger.logFilePath();
    const QFileInfo info(path);
    return QStringLiteral("%1 (%2)").arg(path, sizeText(info.exists() ? info.size() : 0));
}

void PreferencesView::refreshLogSummary()
{
    m_logSummary->setText(logSummary());
}

void PreferencesView::exportWithPanel()
{
    const QString name = QStringLiteral("hoplin-logs-%1.txt")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
    QString folder = platform::downloadsDirectory();
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        folder = QDir::homePath();
    QFileDialog panel(this, QStringLiteral("Export Hoplin Logs"));
    panel.setAcceptMode(QFileDialog::AcceptSave);
    panel.setFileMode(QFileDialog::AnyFile);
    panel.setNameFilter(QStringLiteral("Plain text (*.txt)"));
    panel.setDefaultSuffix(QStringLiteral("txt"));
    panel.setDirectory(folder);
    panel.selectFile(name);
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    detach(exportLog(panel.selectedFiles().constFirst()), kDiagnostics, QStringLiteral("log export"));
}

QCoro::Task<> PreferencesView::exportLog(QString path)
{
    QPointer self(this);
    DiagnosticsLogger *logger = &m_logger;
    // The export waits for the logger's thread and copies up to several MiB: off the main thread.
    auto exporting = runInBackground([logger, path] { return logger->exportTXT(path); });
    const bool ok = co_await exporting;
    m_logger.log(kDiagnostics, (ok ? QStringLiteral("export ok ") : QStringLiteral("export failed ")) + path);
    printExportResult(ok, path);
    if (!self)
        co_return;
    setNote(m_diagnosticsNote,
            ok ? QStringLiteral("Exported — attach %1 to your report.").arg(QFileInfo(path).fileName())
               : QStringLiteral("Export failed."));
    refreshLogSummary();
}

void PreferencesView::openLogFolder()
{
    const QString folder = m_logger.logDirectory();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

PreferencesWindowController &PreferencesWindowController::shared()
{
    static auto *controller = new PreferencesWindowController;
    return *controller;
}

QWidget *PreferencesWindowController::build()
{
    QWidget *window = windows::makeReusableWindow(QStringLiteral("Hoplin Desktop Settings"), QSize(600, 420), false);
    window->setObjectName(QStringLiteral("preferencesWindow"));
    m_view = new PreferencesView(KeychainAccess::system(), DiagnosticsLogger::shared(), window);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    connect(m_view, &PreferencesView::ffmpegInstalled, this, &PreferencesWindowController::ffmpegInstalled);

    UpdateManager &updates = UpdateManager::shared();
    auto showUpdateStatus = [view = m_view, &updates] { view->setUpdateStatus(updateStatusLine(updates.phase())); };
    showUpdateStatus();
    connect(&updates, &UpdateManager::phaseChanged, m_view, showUpdateStatus);
    m_view->setUpdateCheckAvailable(true);
    connect(m_view, &PreferencesView::updateCheckRequested, &updates, [&updates] {
        // The check reports through the phase; nobody awaits the task.
        [](UpdateManager &manager) -> QCoro::Task<> {
            try {
                co_await manager.check();
            } catch (const std::exception &error) {
                DiagnosticsLogger::shared().log(QStringLiteral("update"),
                                                QStringLiteral("check from Preferences failed: %1")
                                                    .arg(QString::fromUtf8(error.what())));
            }
        }(updates);
    });
    windows::centre(window);
    return window;
}

QString PreferencesWindowController::updateStatusLine(const Phase &phase)
{
    switch (phase.kind) {
    case Phase::Kind::Available:
        return QStringLiteral("Version %1 (build %2) is available.").arg(phase.manifest->version).arg(phase.manifest->build);
    case Phase::Kind::Downloading:
        return QStringLiteral("Downloading the update…");
    case Phase::Kind::Downloaded:
        return QStringLiteral("Version %1 is downloaded and verified.").arg(phase.manifest->version);
    case Phase::Kind::Error:
        return phase.message;
    case Phase::Kind::UpToDate:
        return QStringLiteral("You're up to date.");
    case Phase::Kind::Idle:
    case Phase::Kind::Checking:
    case Phase::Kind::Installing:
        break;
    }
    return QStringLiteral("Checks the Hoplin VPS for a newer version.");
}

PreferencesView *PreferencesWindowController::view()
{
    window();
    return m_view;
}

void PreferencesWindowController::show()
{
    windows::present(window());
}

} // namespace hoplin
