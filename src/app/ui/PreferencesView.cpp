#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "Application.h"
#include "ReusableWindow.h"
#include "convert/FFmpegLocator.h"
#include "convert/Preferences.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
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
#include <QSpinBox>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

namespace hoplin {

using namespace preferences;

namespace {
constexpr int kFormWidth = 560;
} // namespace

namespace preferences {

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

QLabel *namedLabel(const QString &objectName, int pixels, const QColor &color, const QString &text)
{
    auto *label = theme::label(text, pixels, color);
    label->setObjectName(objectName);
    label->setWordWrap(true);
    return label;
}

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

QHBoxLayout *row(std::initializer_list<QWidget *> widgets, bool stretch)
{
    auto *layout = new QHBoxLayout;
    layout->setSpacing(8);
    for (QWidget *widget : widgets)
        layout->addWidget(widget);
    if (stretch)
        layout->addStretch(1);
    return layout;
}

} // namespace preferences

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

// Puts the stored values into the controls without writing them back.
void PreferencesView::readSettings()
{
    {
        const QSignalBlocker block(m_override);
        const QString stored = setting(keys::ffmpegPathOverride);
        if (m_override->text() != stored)
            m_override->setText(stored);
    }
    {
        const QSignalBlocker block(m_atOnce);
        m_atOnce->setValue(Preferences::conversionsAtOnce());
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
               key == QLatin1String(keys::hoplinDiag) || key == QLatin1String(keys::conversionsAtOnce)) {
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

void PreferencesView::setNote(QLabel *note, const QString &text)
{
    note->setText(text);
    note->setVisible(!text.isEmpty());
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
    return window;
}

PreferencesView *PreferencesWindowController::view()
{
    window();
    return m_view;
}

} // namespace hoplin
