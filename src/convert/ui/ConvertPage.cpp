#include "ConvertPage.h"

#include "ConvertCard.h"
#include "FFmpegInstallSheet.h"
#include "QueueRow.h"
#include "ui/Theme.h"
#include "convert/Preferences.h"
#include "platform/Platform.h"
#include "platform/Settings.h"
#include "platform/ui/Desktop.h"
#include "service/APIClient.h"
#include "service/Async.h"
#include "service/SessionStore.h"
#include "version.h"
#include "web/DropRouter.h"

#include <QCheckBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

namespace hoplin {

namespace {

// Slots of the card grid, in display order.
const QString kVideo = QStringLiteral("video");
const QString kM4A = QStringLiteral("m4a");
const QString kNormalise = QStringLiteral("normalise");
const QString kVideoNormalise = QStringLiteral("videoNormalise");

QLabel *sectionTitle(const QString &text)
{
    auto *label = new QLabel(text);
    label->setFont(theme::font(11, QFont::DemiBold));
    label->setStyleSheet(QStringLiteral("color: %1; letter-spacing: 1px;").arg(Hoplin::muted.name()));
    return label;
}

std::optional<Preset> findPreset(const QList<Preset> &presets, auto predicate)
{
    for (const Preset &preset : presets) {
        if (predicate(preset))
            return preset;
    }
    return std::nullopt;
}

} // namespace

ConvertPage::ConvertPage(SessionStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
{
    buildLayout();

    connect(&m_store, &SessionStore::stateChanged, this, &ConvertPage::refresh);
    connect(&m_store, &SessionStore::presetsChanged, this, &ConvertPage::presetsChanged);
    connect(&m_runner, &ConvertRunner::itemsChanged, this, &ConvertPage::refresh);
    connect(&m_runner, &ConvertRunner::isRunningChanged, this, &ConvertPage::onRunningChanged);
    connect(&m_runner, &ConvertRunner::runStateChanged, this, &ConvertPage::refresh);
    connect(&m_runner, &ConvertRunner::statusLineChanged, this, &ConvertPage::refreshStatus);
    connect(&m_runner, &ConvertRunner::itemProgressChanged, this, [this](const QUuid &id) {
        if (QueueRow *row = m_rows.value(id)) {
            if (const auto item = m_runner.item(id))
                row->showProgress(*item);
        }
    });
    // A path set or cleared in Preferences applies at once.
    connect(&Settings::shared(), &Settings::changed, this, &ConvertPage::recheckFFmpeg);
    presetsChanged();
}

ConvertPage::~ConvertPage()
{
    // A conversion still running is stopped; its partial output goes with the runner.
    m_runner.cancel();
}

void ConvertPage::buildLayout()
{
    setObjectName(QStringLiteral("convertPage"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Hoplin::bg);
    setPalette(palette);

    // FFmpeg card, shown while no ffmpeg is known.
    m_ffmpegCard = new QFrame;
    m_ffmpegCard->setObjectName(QStringLiteral("ffmpegCard"));
    m_ffmpegCard->setStyleSheet(
        QStringLiteral("#ffmpegCard { background: %1; border: 1px solid %2; border-radius: 12px; }")
            .arg(Hoplin::accentSoft.name(), Hoplin::accent.name()));
    {
        auto *icon = new QLabel(QStringLiteral("⚠"));
        icon->setFont(theme::font(22));
        icon->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::accentInk.name()));
        auto *title = new QLabel(QStringLiteral("FFmpeg is required"));
        title->setFont(theme::font(14, QFont::DemiBold));
        auto *text = new QLabel(platform::localText(
            QStringLiteral("The Convert page runs FFmpeg on your Mac — it isn't installed yet. Click Install FFmpeg to "
                           "download it from Hoplin (SHA-256 verified).")));
        text->setWordWrap(true);
        auto *install = new QPushButton(QStringLiteral("Install FFmpeg"));
        connect(install, &QPushButton::clicked, this, &ConvertPage::openInstallSheet);
        auto *texts = new QVBoxLayout;
        texts->addWidget(title);
        texts->addWidget(text);
        auto *row = new QHBoxLayout(m_ffmpegCard);
        row->setContentsMargins(16, 14, 16, 14);
        row->setSpacing(14);
        row->addWidget(icon, 0, Qt::AlignTop);
        row->addLayout(texts, 1);
        row->addWidget(install, 0, Qt::AlignVCenter);
    }

    m_signInHint = new QLabel(QStringLiteral(
        "Sign in with your client key from the top-right connection menu to fetch the conversion scripts."));
    m_signInHint->setWordWrap(true);
    m_signInHint->setAlignment(Qt::AlignCenter);
    m_signInHint->setMinimumHeight(160);
    m_signInHint->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_signInHint->setFont(theme::font(14));
    m_signInHint->setObjectName(QStringLiteral("signInHint"));

    // Toolbar.
    m_autoStart = new QCheckBox(QStringLiteral("Auto start"));
    connect(m_autoStart, &QCheckBox::toggled, this,
            [](bool on) { Settings::shared().setValue(keys::autoStartConvert, on); });
    m_installButton = new QPushButton(QStringLiteral("Install FFmpeg"));
    connect(m_installButton, &QPushButton::clicked, this, &ConvertPage::openInstallSheet);
    m_convertButton = new QPushButton(QStringLiteral("Convert"));
    m_convertButton->setObjectName(QStringLiteral("convertButton"));
    m_convertButton->setDefault(true);
    connect(m_convertButton, &QPushButton::clicked, this, &ConvertPage::runNow);
    m_stopButton = new QPushButton(QStringLiteral("Stop"));
    connect(m_stopButton, &QPushButton::clicked, this, [this] { m_runner.cancel(); });
    m_refreshButton = new QPushButton(QStringLiteral("Refresh scripts"));
    connect(m_refreshButton, &QPushButton::clicked, this, &ConvertPage::refreshScripts);
    auto *toolbar = new QHBoxLayout;
    toolbar->setSpacing(10);
    toolbar->addWidget(m_autoStart);
    toolbar->addStretch();
    toolbar->addWidget(m_installButton);
    toolbar->addWidget(m_refreshButton);
    toolbar->addWidget(m_stopButton);
    toolbar->addWidget(m_convertButton);

    // Cards.
    m_cardGrid = new QGridLayout;
    m_cardGrid->setSpacing(12);
    const ConvertCard::Look looks[] = {
        {kVideo, QStringLiteral("▶"), QStringLiteral("VIDEO"), QStringLiteral("Drag and drop video files here"),
         QStringLiteral("mp4 · mov · m4v · mkv · avi · webm"), QStringLiteral("CODEC"),
         QStringLiteral("applied to every video")},
        {kM4A, QStringLiteral("♫"), QString(), QStringLiteral("Drag and drop M4A files or folders here"), QString(),
         QString(), QString()},
        {kNormalise, QStringLiteral("∿"), QStringLiteral("Normalize to LUFS"),
         QStringLiteral("Drag and drop WAV files here"), QString(), QStringLiteral("TARGET"),
         QStringLiteral("always with a −1 dBTP limiter")},
        {kVideoNormalise, QStringLiteral("▣"), QStringLiteral("Video Normalize −14 LKFS"),
         QStringLiteral("Drag and drop video files here"), QString(), QString(), QString()},
    };
    for (const ConvertCard::Look &look : looks) {
        auto *card = new ConvertCard(look);
        const QString slot = look.key;
        m_cards.insert(slot, card);
        card->onFiles = [this, card](const QStringList &paths) {
            return card->preset() && dropOnCard(paths, *card->preset());
        };
        card->onClear = [this, card] {
            if (card->preset() && m_runner.clearPreset(card->preset()->id))
                m_runner.setStatusLine(QStringLiteral("Cleared."));
        };
        card->onPicked = [this, slot](const QString &id) {
            if (slot == kVideo)
                m_selectedVideoCodecID = id;
            else
                m_selectedNormaliseID = id;
            refreshCards();
        };
    }

    // Queue.
    m_queueCounts = new QLabel;
    m_queueCounts->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_clearFinished = new QPushButton(QStringLiteral("Clear finished"));
    m_clearFinished->setFlat(true);
    connect(m_clearFinished, &QPushButton::clicked, this, [this] { m_runner.clearFinished(); });
    auto *queueHeader = new QHBoxLayout;
    queueHeader->addWidget(sectionTitle(QStringLiteral("QUEUE")));
    queueHeader->addWidget(m_queueCounts);
    queueHeader->addStretch();
    queueHeader->addWidget(m_clearFinished);
    m_queueEmpty = new QLabel(QStringLiteral("Nothing queued yet — drop files on a card above."));
    m_queueEmpty->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_queueRows = new QVBoxLayout;
    m_queueRows->setSpacing(0);
    auto *queueBox = new QFrame;
    queueBox->setObjectName(QStringLiteral("queueBox"));
    queueBox->setStyleSheet(QStringLiteral("#queueBox { background: %1; border: 1px solid %2; border-radius: 12px; }")
                                .arg(Hoplin::card.name(), Hoplin::line.name()));
    auto *queueLayout = new QVBoxLayout(queueBox);
    queueLayout->setContentsMargins(16, 12, 16, 12);
    queueLayout->addLayout(queueHeader);
    queueLayout->addWidget(m_queueEmpty);
    queueLayout->addLayout(m_queueRows);

    m_connectedArea = new QWidget;
    m_connectedArea->setObjectName(QStringLiteral("connectedArea"));
    auto *connected = new QVBoxLayout(m_connectedArea);
    connected->setContentsMargins(0, 0, 0, 0);
    connected->setSpacing(12);
    connected->addLayout(toolbar);
    connected->addLayout(m_cardGrid);
    connected->addWidget(queueBox);

    auto *content = new QWidget;
    content->setObjectName(QStringLiteral("convertContent"));
    content->setStyleSheet(QStringLiteral("#convertContent { background: %1; }").arg(Hoplin::bg.name()));
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(24, 16, 24, 16);
    column->setSpacing(12);
    column->addWidget(m_ffmpegCard);
    column->addWidget(m_signInHint);
    column->addWidget(m_connectedArea);
    column->addStretch();
    auto *scroll = new QScrollArea;
    scroll->setWidget(content);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);

    // Status bar.
    m_status = new QLabel;
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_output = new QLabel;
    m_output->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    auto *preferences = new QPushButton(QStringLiteral("Preferences"));
    preferences->setFlat(true);
    connect(preferences, &QPushButton::clicked, this, &ConvertPage::preferencesRequested);
    auto *version =
        new QLabel(QStringLiteral("· %1 %2").arg(QLatin1String(version::kAppName), QLatin1String(version::kVersion)));
    version->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    auto *statusBar = new QFrame;
    statusBar->setObjectName(QStringLiteral("statusBar"));
    statusBar->setStyleSheet(QStringLiteral("#statusBar { background: %1; border-top: 1px solid %2; }")
                                 .arg(Hoplin::card.name(), Hoplin::line.name()));
    auto *statusRow = new QHBoxLayout(statusBar);
    statusRow->setContentsMargins(16, 6, 16, 6);
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_output);
    statusRow->addWidget(preferences);
    statusRow->addWidget(version);

    auto *page = new QVBoxLayout(this);
    page->setContentsMargins(0, 0, 0, 0);
    page->setSpacing(0);
    page->addWidget(scroll, 1);
    page->addWidget(statusBar);
}

void ConvertPage::setActive(bool active)
{
    m_active = active;
}

QList<Preset> ConvertPage::videoPresets() const
{
    QList<Preset> result;
    for (const Preset &preset : m_store.presets()) {
        if (preset.kind == u"video" && !preset.id.contains(u"normalise"))
            result << preset;
    }
    return result;
}

std::optional<Preset> ConvertPage::selectedVideoPreset() const
{
    const QList<Preset> video = videoPresets();
    if (const auto chosen = findPreset(video, [&](const Preset &p) { return p.id == m_selectedVideoCodecID; }))
        return chosen;
    return video.isEmpty() ? std::nullopt : std::optional<Preset>(video.first());
}

std::optional<Preset> ConvertPage::m4aPreset() const
{
    return findPreset(m_store.presets(), [](const Preset &p) { return p.kind == u"audio"; });
}

QList<Preset> ConvertPage::normalisePresets() const
{
    QList<Preset> result;
    for (const Preset &preset : m_store.presets()) {
        if (preset.kind == u"normalise")
            result << preset;
    }
    return result;
}

std::optional<Preset> ConvertPage::selectedNormalisePreset() const
{
    const QList<Preset> normalise = normalisePresets();
    if (const auto chosen = findPreset(normalise, [&](const Preset &p) { return p.id == m_selectedNormaliseID; }))
        return chosen;
    return normalise.isEmpty() ? std::nullopt : std::optional<Preset>(normalise.first());
}

std::optional<Preset> ConvertPage::videoNormalisePreset() const
{
    return findPreset(m_store.presets(), [](const Preset &p) { return p.id == u"normalise-video-14lkfs"; });
}

void ConvertPage::enqueue(const QStringList &paths, const Preset &preset)
{
    m_runner.queue(paths, preset.id);
    if (Settings::shared().boolean(keys::autoStartConvert) && !m_runner.isRunning() && m_ffmpeg)
        m_runner.run(m_store.presets(), *m_ffmpeg, &m_store);
}

bool ConvertPage::dropOnCard(const QStringList &paths, const Preset &preset)
{
    if (m_active) {
        enqueue(paths, preset);
        return true;
    }
    // The drop was meant for a web tab showing above this hidden page.
    if (Settings::shared().boolean(keys::dropBridgeLog)) {
        printf("CONVERT-STEAL forwarded\n");
        fflush(stdout);
    }
    QList<QUrl> urls;
    for (const QString &path : paths)
        urls << QUrl::fromLocalFile(path);
    const DropRouter &router = DropRouter::shared();
    if (!router.webTabActive())
        return false;
    router.route(urls, QPointF(0, 0));
    return true;
}

void ConvertPage::openInstallSheet()
{
    if (m_sheet) {
        m_sheet->raise();
        return;
    }
    m_sheet = new FFmpegInstallSheet(
        [this](const QString &path) {
            m_ffmpeg = path;
            emit ffmpegChanged();
            refresh();
        },
        this);
    connect(m_sheet, &QDialog::finished, m_sheet, &QObject::deleteLater);
    m_sheet->open();
}

void ConvertPage::recheckFFmpeg()
{
    resolveFFmpeg();
    refresh();
}

void ConvertPage::resolveFFmpeg()
{
    const std::optional<QString> resolved = Preferences::effectiveFFmpeg();
    if (resolved == m_ffmpeg)
        return;
    m_ffmpeg = resolved;
    emit ffmpegChanged();
}

void ConvertPage::presetsChanged()
{
    const QList<Preset> video = videoPresets();
    if (!m_selectedVideoCodecID || !findPreset(video, [&](const Preset &p) { return p.id == m_selectedVideoCodecID; }))
        m_selectedVideoCodecID = video.isEmpty() ? std::nullopt : std::optional<QString>(video.first().id);
    const QList<Preset> normalise = normalisePresets();
    if (!m_selectedNormaliseID ||
        !findPreset(normalise, [&](const Preset &p) { return p.id == m_selectedNormaliseID; }))
        m_selectedNormaliseID = normalise.isEmpty() ? std::nullopt : std::optional<QString>(normalise.first().id);
    refresh();
}

void ConvertPage::refresh()
{
    const bool connected = m_store.state().isConnected();
    m_ffmpegCard->setVisible(!m_ffmpeg);
    m_signInHint->setVisible(!connected);
    m_connectedArea->setVisible(connected);

    const bool autoStart = Settings::shared().boolean(keys::autoStartConvert);
    {
        QSignalBlocker blocker(m_autoStart);
        m_autoStart->setChecked(autoStart);
    }
    const bool running = m_runner.isRunning();
    m_installButton->setVisible(!m_ffmpeg);
    m_convertButton->setVisible(!autoStart);
    m_convertButton->setEnabled(m_ffmpeg && m_runner.hasPending() && !running);
    m_stopButton->setVisible(running);
    m_stopButton->setText(m_runner.runState() == ConvertRunner::RunState::Stopping ? QStringLiteral("Stopping…")
                                                                                   : QStringLiteral("Stop"));
    refreshCards();
    refreshQueue();
    refreshStatus();
}

void ConvertPage::refreshCards()
{
    struct Slot {
        QString slot;
        std::optional<Preset> preset;
        QList<Preset> choices;
    };
    const std::optional<Preset> m4a = m4aPreset();
    const std::optional<Preset> normalise = selectedNormalisePreset();
    const std::optional<Preset> videoNormalise = videoNormalisePreset();
    const Slot entries[] = {
        {kVideo, selectedVideoPreset(), videoPresets()},
        {kM4A, m4a, {}},
        {kNormalise, normalise, normalisePresets()},
        {kVideoNormalise, videoNormalise, {}},
    };

    // Rebuild the grid with the cards that have a preset: two columns fit the narrowest window.
    while (m_cardGrid->count() > 0)
        m_cardGrid->takeAt(0);
    int position = 0;
    for (const Slot &slot : entries) {
        ConvertCard *card = m_cards.value(slot.slot);
        if (!slot.preset) {
            card->hide();
            card->setPresets(std::nullopt);
            continue;
        }
        ConvertCard::Look look = card->look();
        if (slot.slot == kM4A) {
            look.key = slot.preset->id;
            look.title = slot.preset->name;
            look.dropHint = slot.preset->hint.value_or(QString()).isEmpty() ? QStringLiteral("m4a · converted locally")
                                                                            : *slot.preset->hint;
        } else if (slot.slot == kNormalise) {
            look.key = slot.preset->id;
            look.dropHint = slot.preset->hint.value_or(QString()).isEmpty() ? QStringLiteral("wav · normalized locally")
                                                                            : *slot.preset->hint;
        } else if (slot.slot == kVideoNormalise) {
            look.key = slot.preset->id;
            look.dropHint = slot.preset->hint.value_or(QString()).isEmpty()
                                ? QStringLiteral("audio normalised · video passthrough")
                                : *slot.preset->hint;
        }
        card->setLook(look);
        card->setPresets(slot.preset, slot.choices);
        card->showItems(m_runner.items(slot.preset->id), m_runner.isRunning());
        m_cardGrid->addWidget(card, position / 2, position % 2);
        card->show();
        ++position;
    }
}

void ConvertPage::refreshQueue()
{
    const QList<QueueItem> &items = m_runner.items();
    const auto [done, failed, pending] = m_runner.counts();
    m_queueCounts->setText(QStringLiteral("%1 done · %2 failed · %3 pending").arg(done).arg(failed).arg(pending));
    m_clearFinished->setVisible(done + failed > 0);
    m_clearFinished->setEnabled(!m_runner.isRunning());
    m_queueEmpty->setVisible(items.isEmpty());

    // Keep one row per item, in queue order, reusing rows so progress does not flicker.
    QHash<QUuid, QueueRow *> kept;
    const bool running = m_runner.isRunning();
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QueueItem &item = items[i];
        QueueRow *row = m_rows.take(item.id);
        if (!row) {
            row = new QueueRow;
            const QUuid id = item.id;
            connect(row, &QueueRow::actionTriggered, this, [this, id](QueueRow::Action action) {
                const auto current = m_runner.item(id);
                if (!current)
                    return;
                switch (action) {
                case QueueRow::Action::Retry:
                    m_runner.retry(id);
                    break;
                case QueueRow::Action::Remove:
                    m_runner.remove(id);
                    break;
                case QueueRow::Action::Reveal:
                    if (current->output)
                        desktop::revealInFileBrowser(*current->output);
                    break;
                case QueueRow::Action::None:
                    break;
                }
            });
        }
        const auto preset = findPreset(m_store.presets(), [&](const Preset &p) { return p.id == item.presetID; });
        row->show(item, preset ? preset->name : item.presetID, running);
        if (m_queueRows->indexOf(row) != i) {
            m_queueRows->removeWidget(row);
            m_queueRows->insertWidget(int(i), row);
        }
        kept.insert(item.id, row);
    }
    for (QueueRow *gone : std::as_const(m_rows))
        delete gone;
    m_rows = kept;
}

QString ConvertPage::statusText() const
{
    if (!m_runner.statusLine().isEmpty())
        return m_runner.statusLine();
    if (!m_store.state().isConnected())
        return QStringLiteral("Sign in from the top-right connection menu to fetch the conversion scripts.");
    if (!m_ffmpeg)
        return QStringLiteral("Install ffmpeg in Preferences to convert.");
    if (Settings::shared().boolean(keys::autoStartConvert))
        return QStringLiteral("Auto start on — drop files to convert.");
    return QStringLiteral("Ready.");
}

QString ConvertPage::outputLine() const
{
    if (Preferences::exportLocation() == ExportLocation::SameAsSource)
        return QStringLiteral("Output: same folder as each source");
    return QStringLiteral("Output: ") + Settings::shared().string(keys::exportFolderPath);
}

void ConvertPage::refreshStatus()
{
    m_status->setText(statusText());
    m_status->setToolTip(statusText());
    m_output->setText(outputLine());
}

void ConvertPage::onRunningChanged()
{
    const bool running = m_runner.isRunning();
    // A queue that finishes while the user looks elsewhere gets a desktop notification.
    if (m_wasRunning && !running && window() && !window()->isActiveWindow()) {
        const auto [done, failed, pending] = m_runner.counts();
        Q_UNUSED(pending);
        desktop::notify(QStringLiteral("Conversion finished"),
                        QStringLiteral("%1 done · %2 failed").arg(done).arg(failed));
    }
    m_wasRunning = running;
    refresh();
}

void ConvertPage::runNow()
{
    if (m_ffmpeg && m_runner.hasPending() && !m_runner.isRunning())
        m_runner.run(m_store.presets(), *m_ffmpeg, &m_store);
}

void ConvertPage::refreshScripts()
{
    if (!m_store.session())
        return;
    auto task = [](QPointer<ConvertPage> self, QString token, quint64 generation) -> QCoro::Task<> {
        try {
            const PresetsPayload payload = co_await APIClient::fetchPresets(token);
            // A list fetched for an earlier sign-in must not replace the current session's.
            if (!self || self->m_store.generation() != generation)
                co_return;
            self->m_store.setPresets(payload.presets);
            self->m_runner.setStatusLine(QStringLiteral("Scripts refreshed from the VPS."));
        } catch (const std::exception &error) {
            if (!self || self->m_store.generation() != generation)
                co_return;
            const auto *own = dynamic_cast<const Error *>(&error);
            self->m_runner.setStatusLine(QStringLiteral("Could not refresh scripts: ") +
                                         (own ? own->description() : QString::fromUtf8(error.what())));
        }
    };
    detach(task(this, m_store.accessToken(), m_store.generation()), QStringLiteral("convert"),
           QStringLiteral("refresh scripts"));
}

void ConvertPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    appear();
}

void ConvertPage::appear()
{
    if (m_firstShown)
        return;
    m_firstShown = true;
    resolveFFmpeg();
    if (!m_ffmpeg && !m_didAutoPromptInstall && m_active) {
        m_didAutoPromptInstall = true;
        QTimer::singleShot(600, this, [this] {
            if (!m_ffmpeg)
                openInstallSheet();
        });
    }
    presetsChanged();
    startAutomation();
}

void ConvertPage::startAutomation()
{
    const QString autoConvert = Settings::shared().string(keys::autoConvert).trimmed();
    if (autoConvert.isEmpty())
        return;
    QStringList paths;
    for (const QString &piece : autoConvert.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (!piece.trimmed().isEmpty())
            paths << piece.trimmed();
    }
    auto *poll = new QTimer(this);
    auto attempts = std::make_shared<int>(0);
    connect(poll, &QTimer::timeout, this, [this, poll, attempts, paths] {
        const auto m4a = m4aPreset();
        if (m_store.state().isConnected() && m4a && m_ffmpeg) {
            enqueue(paths, *m4a);
            poll->deleteLater();
        } else if (++*attempts >= 100) {
            poll->deleteLater();
        }
    });
    poll->start(200);
}

ConvertCard *ConvertPage::card(const QString &key) const
{
    for (ConvertCard *card : m_cards) {
        if (card->look().key == key && card->isVisibleTo(this))
            return card;
    }
    return nullptr;
}

QList<ConvertCard *> ConvertPage::cards() const
{
    QList<ConvertCard *> visible;
    for (const QString &slot : {kVideo, kM4A, kNormalise, kVideoNormalise}) {
        if (m_cards.value(slot)->isVisibleTo(this))
            visible << m_cards.value(slot);
    }
    return visible;
}

} // namespace hoplin
