#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "convert/FFmpegLocator.h"
#include "convert/Preferences.h"
#include "convert/ui/FFmpegInstallSheet.h"
#include "platform/Platform.h"
#include "platform/Sandbox.h"
#include "platform/Settings.h"
#include "service/Async.h"
#include "ui/Theme.h"

#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

// The Tools section of the Preferences form.

namespace hoplin {

using namespace preferences;

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
    // Several files at once take about 1/N of the time on N cores, each ffmpeg on a core of its own.
    m_atOnce = new QSpinBox;
    m_atOnce->setObjectName(QStringLiteral("conversionsAtOnce"));
    m_atOnce->setRange(1, Preferences::maxConversionsAtOnce());
    connect(m_atOnce, &QSpinBox::valueChanged, this, [](int value) {
        Settings::shared().setValue(QLatin1String(keys::conversionsAtOnce), value);
    });
    auto *atOnceLabel = new QLabel(QStringLiteral("Conversions at once"));
    atOnceLabel->setBuddy(m_atOnce);
    rows->addLayout(row({atOnceLabel, m_atOnce}));
    rows->addWidget(caption(QStringLiteral("Files converted side by side, up to one per core (%1 here); a change "
                                           "applies from the next run of the queue.")
                                .arg(Preferences::maxConversionsAtOnce())));
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

void PreferencesView::setToolsStatus(const QString &text)
{
    m_toolsStatus->setText(text);
    m_toolsStatus->setVisible(!text.isEmpty());
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

void PreferencesView::chooseFFmpeg()
{
    QFileDialog panel(this, QStringLiteral("Choose an ffmpeg binary. Leave the field blank to use the managed copy."));
    panel.setFileMode(QFileDialog::ExistingFile);
    panel.setLabelText(QFileDialog::Accept, QStringLiteral("Use"));
    if (panel.exec() != QDialog::Accepted || panel.selectedFiles().isEmpty())
        return;
    m_override->setText(panel.selectedFiles().constFirst());
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

} // namespace hoplin
