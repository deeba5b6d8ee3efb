#include "ConvertPage.h"

#include "ConvertCard.h"
#include "FFmpegInstallSheet.h"
#include "QueueView.h"
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
#include <array>
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
    // The queue's rows follow the runner through the model, one row per change.
    connect(&m_runner, &ConvertRunner::itemsChanged, this, &ConvertPage::scheduleRefresh);
    // Files added or removed by the user show at once.
    const auto refreshAll = [this] {
        refresh();
        refreshCardItems();
    };
    connect(&m_runner, &ConvertRunner::itemsAppended, this, refreshAll);
    connect(&m_runner, &ConvertRunner::itemsRemoved, this, refreshAll);
    connect(&m_runner, &ConvertRunner::isRunningChanged, this, &ConvertPage::onRunningChanged);
    connect(&m_runner, &ConvertRunner::runStateChanged, this, &ConvertPage::refresh);
    connect(&m_runner, &ConvertRunner::statusLineChanged, this, &ConvertPage::scheduleRefresh);
    // A path set or cleared in Preferences applies at once.
    connect(&Settings::shared(), &Settings::changed, this, &ConvertPage::recheckFFmpeg);
    presetsChanged();
}

ConvertPage::~ConvertPage()
{
    // A conversion still running is stopped; its partial output goes with the runner.
    m_runner.cancel();
    // The queue's view and model read the runner: they go before it, not with the page's children
    // after the members are gone.
    delete m_queueView;
    delete m_queueModel;
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
    m_stopButton->setObjectName(QStringLiteral("stopButton"));
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
    m_queueModel = new QueueModel(m_runner, this);
    m_queueView = new QueueView(m_queueModel);
    connect(m_queueView->delegate(), &QueueDelegate::actionTriggered, this,
            [this](int row, QueueModel::Action action) { triggerAction(row, int(action)); });
    m_refreshTimer = new QTimer(this);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(0);
    connect(m_refreshTimer, &QTimer::timeout, this, &ConvertPage::refresh);
    m_cardItemsTimer = new QTimer(this);
    m_cardItemsTimer->setSingleShot(true);
    m_cardItemsTimer->setInterval(300);
    connect(m_cardItemsTimer, &QTimer::timeout, this, &ConvertPage::refreshCardItems);
    auto *queueBox = new QFrame;
    queueBox->setObjectName(QStringLiteral("queueBox"));
    queueBox->setStyleSheet(QStringLiteral("#queueBox { background: %1; border: 1px solid %2; border-radius: 12px; }")
                                .arg(Hoplin::card.name(), Hoplin::line.name()));
    auto *queueLayout = new QVBoxLayout(queueBox);
    queueLayout->setContentsMargins(16, 12, 16, 12);
    queueLayout->addLayout(queueHeader);
    queueLayout->addWidget(m_queueEmpty);
    queueLayout->addWidget(m_queueView);

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
    // The status line carries the service's messages and file names, the output line a path.
    m_status = new QLabel;
    m_status->setObjectName(QStringLiteral("statusLine"));
    m_status->setTextFormat(Qt::PlainText);
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_output = new QLabel;
    m_output->setTextFormat(Qt::PlainText);
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
        startRun();
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
            setFFmpeg(path);
            refresh();
        },
        this);
    // However the sheet ends (a cancel can come after the copy was already installed), the page
    // looks again instead of trusting what it knew before.
    connect(m_sheet, &QDialog::finished, this, [this] {
        resolveFFmpeg();
        refresh();
    });
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
    setFFmpeg(Preferences::effectiveFFmpeg());
}

void ConvertPage::setFFmpeg(const std::optional<QString> &ffmpeg)
{
    if (ffmpeg == m_ffmpeg)
        return;
    const bool wasMissing = !m_ffmpeg;
    m_ffmpeg = ffmpeg;
    emit ffmpegChanged();
    // Files dropped while ffmpeg was missing were queued for auto start: start them now.
    if (wasMissing && m_ffmpeg && Settings::shared().boolean(keys::autoStartConvert) && m_runner.hasPending() &&
        !m_runner.isRunning())
        startRun();
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
    QHash<QString, QString> names;
    for (const Preset &preset : m_store.presets()) {
        if (!names.contains(preset.id))
            names.insert(preset.id, preset.name);
    }
    m_queueModel->setPresetNames(names);
    refresh();
}

void ConvertPage::refresh()
{
    m_refreshClock.start();
    m_refreshTimer->stop();
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

void ConvertPage::scheduleRefresh()
{
    if (m_refreshTimer->isActive())
        return;
    // At most about ten times a second while a queue runs: as fast as anyone reads, and a queue
    // of failing files changes hundreds of times a second.
    constexpr qint64 minimumGapMs = 100;
    const qint64 since = m_refreshClock.isValid() ? m_refreshClock.elapsed() : minimumGapMs;
    m_refreshTimer->start(int(std::max<qint64>(0, minimumGapMs - since)));
}

void ConvertPage::refreshCards()
{
    using Slot = CardSlot;
    const std::optional<Preset> m4a = m4aPreset();
    const std::optional<Preset> normalise = selectedNormalisePreset();
    const std::optional<Preset> videoNormalise = videoNormalisePreset();
    const std::array<Slot, 4> entries = {{
        {kVideo, selectedVideoPreset(), videoPresets()},
        {kM4A, m4a, {}},
        {kNormalise, normalise, normalisePresets()},
        {kVideoNormalise, videoNormalise, {}},
    }};

    // The cards change only with the presets and the pickers; a queue's progress leaves them be.
    QStringList signature;
    for (const Slot &slot : entries) {
        signature << slot.slot;
        if (slot.preset)
            signature << slot.preset->id << slot.preset->name << slot.preset->hint.value_or(QString());
        for (const Preset &choice : slot.choices)
            signature << choice.id << choice.name;
    }
    if (signature != m_cardsSignature) {
        m_cardsSignature = signature;
        layOutCards(entries);
    }
    // The card lists scan the whole queue: at most a few times a second while a queue runs.
    if (!m_cardItemsTimer->isActive())
        m_cardItemsTimer->start(m_runner.isRunning() ? m_cardItemsTimer->interval() : 0);
}

void ConvertPage::layOutCards(std::span<const CardSlot> entries)
{
    // Rebuild the grid with the cards that have a preset: two columns fit the narrowest window.
    while (m_cardGrid->count() > 0)
        m_cardGrid->takeAt(0);
    int position = 0;
    for (const CardSlot &slot : entries) {
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
        m_cardGrid->addWidget(card, position / 2, position % 2);
        card->show();
        ++position;
    }
}

void ConvertPage::refreshCardItems()
{
    // One pass from the newest item back, without copying any.
    QHash<QString, ConvertCard::Items> shares;
    for (ConvertCard *card : std::as_const(m_cards)) {
        if (card->preset() && !card->isHidden())
            shares.insert(card->preset()->id, {});
    }
    const QList<QueueItem> &items = m_runner.items();
    for (qsizetype i = items.size() - 1; i >= 0 && !shares.isEmpty(); --i) {
        const auto share = shares.find(items[i].presetID);
        if (share == shares.end())
            continue;
        ++share->total;
        share->anyPending = share->anyPending || items[i].isPending();
        if (share->newest.size() < ConvertCard::itemsShown)
            share->newest.prepend(&items[i]);
    }
    for (ConvertCard *card : std::as_const(m_cards)) {
        if (card->preset() && !card->isHidden())
            card->showItems(shares.value(card->preset()->id), m_runner.isRunning());
    }
}

void ConvertPage::refreshQueue()
{
    const auto [done, failed, pending] = m_runner.counts();
    m_queueCounts->setText(QStringLiteral("%1 done · %2 failed · %3 pending")
                               .arg(QString::number(done), QString::number(failed), QString::number(pending)));
    m_clearFinished->setVisible(done + failed > 0);
    m_clearFinished->setEnabled(!m_runner.isRunning());
    const bool empty = m_runner.items().isEmpty();
    m_queueEmpty->setVisible(empty);
    m_queueView->setVisible(!empty);
    m_queueView->setActionsEnabled(!m_runner.isRunning());
}

void ConvertPage::triggerAction(int row, int action)
{
    const QueueItem *item = m_queueModel->item(row);
    if (!item || m_runner.isRunning())
        return;
    const QUuid id = item->id;
    switch (QueueModel::Action(action)) {
    case QueueModel::Action::Retry:
        m_runner.retry(id);
        break;
    case QueueModel::Action::Remove:
        m_runner.remove(id);
        break;
    case QueueModel::Action::Reveal:
        if (item->output)
            desktop::revealInFileBrowser(*item->output);
        break;
    case QueueModel::Action::None:
        break;
    }
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
    m_status->setToolTip(theme::plainToolTip(statusText()));
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
                        QStringLiteral("%1 done · %2 failed").arg(QString::number(done), QString::number(failed)));
    }
    m_wasRunning = running;
    refresh();
    refreshCardItems();
}

void ConvertPage::runNow()
{
    if (m_ffmpeg && m_runner.hasPending() && !m_runner.isRunning())
        startRun();
}

void ConvertPage::startRun()
{
    // Read at each start, so a change in Preferences applies to the next run.
    m_runner.setConcurrency(Preferences::conversionsAtOnce());
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
