#include "FFmpegInstallSheet.h"

#include "ui/Theme.h"
#include "convert/FFmpegLocator.h"
#include "platform/Platform.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace hoplin {

FFmpegInstallSheet::FFmpegInstallSheet(OnInstalled onInstalled, QWidget *parent, FFmpegInstaller::Locations locations)
    : QDialog(parent)
    , m_installer(std::move(locations))
    , m_onInstalled(std::move(onInstalled))
{
    setWindowTitle(QStringLiteral("FFmpeg is required"));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(520);

    auto *title = new QLabel(QStringLiteral("FFmpeg is required"));
    title->setFont(theme::font(18, QFont::DemiBold));
    auto *text = new QLabel(QStringLiteral("Hoplin can't convert anything without FFmpeg. Click the button below to "
                                           "download it from Hoplin — the download is SHA-256 verified and installed "
                                           "automatically."));
    text->setWordWrap(true);
    m_progress = new QLabel;
    m_progress->setWordWrap(true);
    m_progress->setObjectName(QStringLiteral("progressLine"));
    m_bar = new QProgressBar;
    m_bar->setTextVisible(false);
    m_bar->setMaximumHeight(6);

    m_install = new QPushButton(QStringLiteral("Install FFmpeg"));
    m_install->setDefault(true);
    m_homebrew = new QPushButton(QStringLiteral("Add Homebrew FFmpeg"));
    m_use = new QPushButton(QStringLiteral("Use…"));
    auto *cancel = new QPushButton(QStringLiteral("Cancel"));
    connect(m_install, &QPushButton::clicked, this, &FFmpegInstallSheet::installRecommended);
    connect(m_homebrew, &QPushButton::clicked, this, [this] { adopt(homebrewFFmpeg()); });
    connect(m_use, &QPushButton::clicked, this, &FFmpegInstallSheet::pickExisting);
    connect(cancel, &QPushButton::clicked, this, &FFmpegInstallSheet::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_homebrew);
    buttons->addWidget(m_use);
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(m_install);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);
    layout->addWidget(title);
    layout->addWidget(text);
    layout->addWidget(m_bar);
    layout->addWidget(m_progress);
    layout->addLayout(buttons);

    connect(&m_installer, &FFmpegInstaller::phaseChanged, this, &FFmpegInstallSheet::refresh);
    connect(&m_installer, &FFmpegInstaller::downloadProgress, this, [this](qint64 received, qint64 total) {
        m_bar->setRange(0, total > 0 ? 1000 : 0);
        if (total > 0)
            m_bar->setValue(int(1000 * received / total));
    });
    connect(&m_installer, &FFmpegInstaller::installedChanged, this, [this](const QString &path) {
        if (m_onInstalled)
            m_onInstalled(path);
        accept();
    });
    refresh();
}

QString FFmpegInstallSheet::homebrewFFmpeg()
{
    for (const QString &candidate :
         {QStringLiteral("/opt/homebrew/bin/ffmpeg"), QStringLiteral("/home/linuxbrew/.linuxbrew/bin/ffmpeg")}) {
        if (FFmpegLocator::isExecutable(candidate))
            return candidate;
    }
    return {};
}

void FFmpegInstallSheet::refresh()
{
    const FFmpegInstaller::Phase phase = m_installer.phase();
    const bool busy = phase == FFmpegInstaller::Phase::Downloading || phase == FFmpegInstaller::Phase::Extracting;
    m_progress->setText(m_installer.progressText());
    m_progress->setStyleSheet(phase == FFmpegInstaller::Phase::Failed
                                  ? QStringLiteral("color: %1;").arg(Hoplin::errRed.name())
                                  : QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_progress->setVisible(phase != FFmpegInstaller::Phase::Idle);
    m_bar->setVisible(busy);
    if (phase == FFmpegInstaller::Phase::Downloading)
        m_bar->setRange(0, 0);
    m_install->setEnabled(!busy);
    m_use->setEnabled(!busy);
    m_homebrew->setEnabled(!busy);
    m_homebrew->setVisible(!homebrewFFmpeg().isEmpty());
}

void FFmpegInstallSheet::installRecommended()
{
    m_installer.installRecommended();
}

void FFmpegInstallSheet::adopt(const QString &path)
{
    m_installer.adopt(path);
}

void FFmpegInstallSheet::pickExisting()
{
    QFileDialog dialog(this, platform::localText(QStringLiteral(
                                 "Choose an ffmpeg binary to copy into Application Support/Hoplin/FFmpegTools.")));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Use"));
    dialog.setFilter(QDir::Files | QDir::Executable | QDir::AllDirs | QDir::NoDotAndDotDot);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        adopt(dialog.selectedFiles().first());
}

void FFmpegInstallSheet::reject()
{
    m_installer.cancel();
    QDialog::reject();
}

} // namespace hoplin
