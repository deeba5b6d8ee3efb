#include "platform/ui/Desktop.h"
#include "AnalysisView.h"

#include "AnalysisCards.h"
#include "CardColumn.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"
#include "convert/MediaScanner.h"
#include "platform/Settings.h"
#include "service/Async.h"
#include "version.h"
#include "web/DropRouter.h"

#include <QCoro/QCoroSignal>
#include <QCoro/QCoroTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollArea>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

namespace hoplin {

namespace {

QPushButton *button(const QString &text, const char *name, QWidget *parent)
{
    auto *result = new QPushButton(text, parent);
    result->setObjectName(QLatin1String(name));
    result->setFont(theme::font(12));
    result->setCursor(Qt::PointingHandCursor);
    return result;
}

QString describe(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->description();
    return QString::fromUtf8(error.what());
}

QStringList localPaths(const QList<QUrl> &urls)
{
    QStringList paths;
    for (const QUrl &url : urls) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

QString trimBlanks(QString text)
{
    while (!text.isEmpty() && (text.front() == u' ' || text.front() == u'\t'))
        text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == u' ' || text.back() == u'\t'))
        text.chop(1);
    return text;
}

// A complete new file replaces the old one, or nothing changes.
void writeAtomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw Error(QStringLiteral("File"), int(file.error()), file.errorString());
}

} // namespace

AnalysisView::AnalysisView(SessionStore &store, QWidget *parent)
    : QWidget(parent)
    , m_store(store)
{
    setObjectName(QStringLiteral("analysisView"));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Hoplin::bg);
    setPalette(palette);

    auto *column = new QWidget();
    column->setObjectName(QStringLiteral("analysisColumn"));
    column->setAutoFillBackground(true);
    // Content grows downwards from the top: a longer queue repaints no part already shown.
    column->setAttribute(Qt::WA_StaticContents);
    column->setPalette(palette);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(20, 16, 20, 16);
    columnLayout->setSpacing(16);
    m_signInHint = buildSignInHint();
    m_dropCard = buildDropCard();
    columnLayout->addWidget(m_signInHint);
    columnLayout->addWidget(m_dropCard);
    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("analysisScroll"));
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(column);
    // Cards exist only for the rows near the visible part: a queue of thousands stays light.
    m_cards = new CardColumn(m_runner, m_expanded, scroll, [this](const QUuid &id) { return makeCard(id); }, column);
    columnLayout->addWidget(m_cards);
    columnLayout->addStretch(1);

    auto *divider = new QFrame(this);
    divider->setFixedHeight(1);
    divider->setAutoFillBackground(true);
    QPalette linePalette = divider->palette();
    linePalette.setColor(QPalette::Window, Hoplin::line);
    divider->setPalette(linePalette);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(scroll, 1);
    layout->addWidget(divider);
    layout->addWidget(buildStatusBar());

    // One card per change: a file's new status redraws that file's card and nothing else.
    // A queue of failing files changes many times a second: the cards and the status line catch
    // up at most ten times a second, each changed card once.
    m_cardTimer = new QTimer(this);
    m_cardTimer->setSingleShot(true);
    m_cardTimer->setInterval(100);
    connect(m_cardTimer, &QTimer::timeout, this, [this] {
        const QSet<QUuid> dirty = std::exchange(m_dirtyCards, {});
        m_cards->refresh(dirty.values());
        if (std::exchange(m_statusPending, false))
            refreshStatus();
        refreshRunning();
    });
    connect(&m_runner, &AnalysisRunner::itemUpdated, this, [this](const QUuid &id) {
        m_dirtyCards.insert(id);
        if (!m_cardTimer->isActive())
            m_cardTimer->start();
    });
    connect(&m_runner, &AnalysisRunner::itemsAppended, this, [this](qsizetype first) {
        m_cards->appendRows(first);
        refreshRunning();
        refreshStatus();
    });
    connect(&m_runner, &AnalysisRunner::itemsRemoved, this, [this] {
        refreshItems();
        refreshRunning();
    });
    connect(&m_runner, &AnalysisRunner::isRunningChanged, this, [this] {
        refreshRunning();
        // The cards' buttons follow the run.
        m_cards->refresh(std::exchange(m_dirtyCards, {}).values());
        m_cards->redrawCards();
        if (std::exchange(m_statusPending, false))
            refreshStatus();
    });
    // During a run the status line changes several times per file: it follows with the cards.
    connect(&m_runner, &AnalysisRunner::statusLineChanged, this, [this] {
        if (!m_runner.isRunning()) {
            refreshStatus();
            return;
        }
        m_statusPending = true;
        if (!m_cardTimer->isActive())
            m_cardTimer->start();
    });
    connect(&m_runner, &AnalysisRunner::uploadProgressChanged, this, &AnalysisView::refreshProgress);
    connect(&m_store, &SessionStore::stateChanged, this, &AnalysisView::refreshConnection);
    refreshConnection();
    refreshRunning();
    refreshItems();

    // Launch automation runs when the window first appears, also while another tab hides this
    // page; by the time this fires the page sits in its window.
    QTimer::singleShot(0, this, [this] {
        if (window()->isVisible())
            runLaunchAutomation();
        else
            window()->installEventFilter(this);
    });
}

AnalysisView::~AnalysisView() = default;

QWidget *AnalysisView::buildSignInHint()
{
    auto *hint = new QWidget();
    hint->setObjectName(QStringLiteral("signInHint"));
    auto *layout = new QHBoxLayout(hint);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->setSpacing(10);
    auto *symbol = theme::label(QStringLiteral("?"), 13, Hoplin::accent, hint, QFont::Bold);
    symbol->setAlignment(Qt::AlignCenter);
    symbol->setFixedSize(22, 22);
    symbol->setStyleSheet(QStringLiteral("border: 1.5px solid %1; border-radius: 11px;").arg(Hoplin::accent.name()));
    auto *text =
        theme::label(QStringLiteral("Sign in with your client key from the top-right connection menu to analyse audio files."),
              12, Hoplin::muted, hint);
    text->setObjectName(QStringLiteral("signInHintText"));
    text->setWordWrap(true);
    layout->addWidget(symbol, 0, Qt::AlignTop);
    layout->addWidget(text, 1);
    return hint;
}

QWidget *AnalysisView::buildDropCard()
{
    auto *card = new AnalysisCard();
    card->setObjectName(QStringLiteral("dropCard"));

    auto *header = new QHBoxLayout();
    header->setSpacing(8);
    header->addWidget(theme::label(QStringLiteral("∿"), 15, Hoplin::accent, card));
    auto *title = theme::label(QStringLiteral("AUDIO ANALYSIS"), 11, Hoplin::ink, card, QFont::Bold);
    QFont titleFont = title->font();
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.2);
    title->setFont(titleFont);
    header->addWidget(title);
    m_dropSpinner = new Spinner(12, card);
    m_dropSpinner->setObjectName(QStringLiteral("runSpinner"));
    m_dropSpinner->setColor(Hoplin::muted);
    header->addWidget(m_dropSpinner);
    header->addStretch(1);
    m_clearFinished = new QPushButton(QStringLiteral("Clear"), card);
    m_clearFinished->setObjectName(QStringLiteral("clearFinishedButton"));
    m_clearFinished->setFlat(true);
    m_clearFinished->setFont(theme::font(10, QFont::Bold));
    theme::tint(m_clearFinished, Hoplin::muted);
    connect(m_clearFinished, &QPushButton::clicked, this, [this] { m_runner.clear(); });
    header->addWidget(m_clearFinished);
    card->content()->addLayout(header);

    m_dropZone = new DropZone(card);
    m_dropZone->onDrop = [this](const QList<QUrl> &urls) { return handleDrop(urls); };
    auto *zone = new QVBoxLayout(m_dropZone);
    zone->setContentsMargins(16, 16, 16, 16);
    zone->setSpacing(8);
    auto *prompt =
        theme::label(QStringLiteral("Drag and drop audio files here"), 14, Hoplin::ink, m_dropZone, QFont::DemiBold);
    prompt->setAlignment(Qt::AlignCenter);
    auto *extensions = theme::label(QStringLiteral("wav · aiff · flac · mp3 · m4a · aac · ogg · opus · wma · caf · w64 · amb"),
                             11, Hoplin::muted, m_dropZone);
    extensions->setAlignment(Qt::AlignCenter);
    zone->addWidget(prompt);
    zone->addWidget(extensions);
    auto *buttons = new QHBoxLayout();
    buttons->setSpacing(8);
    buttons->addStretch(1);
    auto *files = button(QStringLiteral("Choose Files"), "chooseFilesButton", m_dropZone);
    auto *folder = button(QStringLiteral("Choose Folder"), "chooseFolderButton", m_dropZone);
    m_stop = button(QStringLiteral("Stop"), "stopButton", m_dropZone);
    connect(files, &QPushButton::clicked, this, &AnalysisView::chooseFiles);
    connect(folder, &QPushButton::clicked, this, &AnalysisView::chooseFolder);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_runner.cancel(); });
    buttons->addWidget(files);
    buttons->addWidget(folder);
    buttons->addWidget(m_stop);
    buttons->addStretch(1);
    zone->addLayout(buttons);
    card->content()->addWidget(m_dropZone);
    return card;
}

QWidget *AnalysisView::buildStatusBar()
{
    auto *bar = new QWidget(this);
    bar->setObjectName(QStringLiteral("statusBar"));
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(14, 6, 14, 6);
    layout->setSpacing(8);
    m_dot = new QLabel(bar);
    m_dot->setObjectName(QStringLiteral("connectionDot"));
    m_dot->setFixedSize(7, 7);
    m_connection = theme::label(QString(), 11, Hoplin::ink, bar);
    m_connection->setObjectName(QStringLiteral("connectionLabel"));
    m_statusText = new ElidedLabel(Qt::ElideRight, bar);
    m_statusText->setObjectName(QStringLiteral("statusText"));
    m_statusText->setFont(theme::font(11));
    theme::tint(m_statusText, Hoplin::muted);
    m_count = theme::label(QString(), 11, Hoplin::muted, bar);
    m_count->setObjectName(QStringLiteral("analysedCount"));
    auto *preferences = new QPushButton(QStringLiteral("Preferences"), bar);
    preferences->setObjectName(QStringLiteral("preferencesButton"));
    preferences->setFlat(true);
    preferences->setFont(theme::font(11));
    preferences->setCursor(Qt::PointingHandCursor);
    theme::tint(preferences, Hoplin::accentInk);
    connect(preferences, &QPushButton::clicked, this, &AnalysisView::preferencesRequested);
    auto *version =
        theme::label(QStringLiteral("· Hoplin Desktop %1").arg(QLatin1String(version::kVersion)), 11, Hoplin::muted, bar);
    version->setObjectName(QStringLiteral("versionLabel"));

    layout->addWidget(m_dot);
    layout->addWidget(m_connection);
    layout->addSpacing(6);
    layout->addWidget(m_statusText, 1);
    layout->addWidget(m_count);
    layout->addWidget(preferences);
    layout->addWidget(version);
    return bar;
}

void AnalysisView::enqueue(const QStringList &paths)
{
    m_runner.queue(paths);
    if (m_store.state().isConnected() && !m_runner.isRunning() && m_runner.hasPending())
        m_runner.run(&m_store);
}

void AnalysisView::chooseFiles()
{
    detach(runChooser(false), QStringLiteral("analysis"), QStringLiteral("choose files"));
}

void AnalysisView::chooseFolder()
{
    detach(runChooser(true), QStringLiteral("analysis"), QStringLiteral("choose folder"));
}

QCoro::Task<> AnalysisView::runChooser(bool folders)
{
    QPointer<AnalysisView> self(this);
    QPointer<QFileDialog> dialog = new QFileDialog(this);
    if (folders) {
        dialog->setObjectName(QStringLiteral("chooseFolderPanel"));
        dialog->setWindowTitle(
            QStringLiteral("Choose a folder — audio files inside it (including subfolders) are queued."));
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setObjectName(QStringLiteral("chooseFilesPanel"));
        dialog->setWindowTitle(QStringLiteral("Choose audio files to analyse on the Hoplin VPS."));
        dialog->setFileMode(QFileDialog::ExistingFiles);
        dialog->setNameFilter(
            QStringLiteral("Audio files (%1)").arg(MediaScanner::audioExtensions().globPatterns()));
    }
    dialog->open();
    const std::optional<int> result = co_await qCoro(dialog.data(), &QDialog::finished, std::chrono::milliseconds(-1));
    if (!self || !dialog)
        co_return;
    const QStringList chosen = dialog->selectedFiles();
    dialog->deleteLater();
    if (result != QDialog::Accepted || chosen.isEmpty())
        co_return;
    enqueue(folders ? chosen.mid(0, 1) : chosen);
}

void AnalysisView::toggle(const QUuid &id)
{
    if (!m_expanded.remove(id))
        m_expanded.insert(id);
    m_cards->refresh({id});
}

void AnalysisView::retry(const QUuid &id)
{
    m_runner.retry(id);
    if (m_store.state().isConnected() && !m_runner.isRunning())
        m_runner.run(&m_store);
}

void AnalysisView::saveReport(const QUuid &id)
{
    detach(runSaveReport(id), QStringLiteral("analysis"), QStringLiteral("save report"));
}

QString AnalysisView::suggestedReportName(const QString &input)
{
    return QFileInfo(input).completeBaseName() + QStringLiteral("_report.txt");
}

QCoro::Task<> AnalysisView::runSaveReport(QUuid id)
{
    QPointer<AnalysisView> self(this);
    const std::optional<AnalysisRunner::Item> item = m_runner.item(id);
    if (!item || !item->jobID)
        co_return;
    const QString jobID = *item->jobID;

    QPointer<QFileDialog> dialog = new QFileDialog(this);
    dialog->setObjectName(QStringLiteral("saveReportPanel"));
    dialog->setWindowTitle(QStringLiteral("Save the analysis report."));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("Plain text (*.txt)"));
    dialog->setDefaultSuffix(QStringLiteral("txt"));
    dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Save"));
    dialog->setDirectory(QFileInfo(item->input).absolutePath());
    dialog->selectFile(suggestedReportName(item->input));
    dialog->open();
    const std::optional<int> result = co_await qCoro(dialog.data(), &QDialog::finished, std::chrono::milliseconds(-1));
    if (!self || !dialog)
        co_return;
    const QString destination = dialog->selectedFiles().value(0);
    dialog->deleteLater();
    if (result != QDialog::Accepted || destination.isEmpty())
        co_return;

    try {
        const QString token = m_store.accessToken();
        if (token.isEmpty())
            throw APIError::noData();
        const QByteArray report = co_await APIClient::downloadReport(jobID, token);
        if (!self)
            co_return;
        writeAtomically(destination, report);
        m_runner.setStatusLine(QStringLiteral("Report saved → %1").arg(QFileInfo(destination).fileName()));
    } catch (const std::exception &error) {
        if (self)
            m_runner.setStatusLine(QStringLiteral("Could not save report: %1").arg(describe(error)));
    }
}

bool AnalysisView::handleDrop(const QList<QUrl> &urls)
{
    if (m_active) {
        enqueue(localPaths(urls));
        return true;
    }
    if (Settings::shared().boolean(QString::fromLatin1(keys::dropBridgeLog))) {
        std::fputs("ANALYSIS-STEAL forwarded\n", stdout);
        std::fflush(stdout);
    }
    return DropRouter::shared().dropOnPage(false, urls) == DropRouter::PageDrop::Forwarded;
}

QString AnalysisView::connectionLabel(const ConnectionState &state)
{
    switch (state.kind()) {
    case ConnectionState::Kind::Connected:
        return QStringLiteral("Connected");
    case ConnectionState::Kind::Failed:
        return QStringLiteral("Sign-in failed");
    case ConnectionState::Kind::Connecting:
        return QStringLiteral("Connecting…");
    case ConnectionState::Kind::Disconnected:
        break;
    }
    return QStringLiteral("Offline");
}

QColor AnalysisView::connectionColor(const ConnectionState &state)
{
    switch (state.kind()) {
    case ConnectionState::Kind::Connected:
        return Hoplin::okTeal;
    case ConnectionState::Kind::Failed:
        return Hoplin::errRed;
    case ConnectionState::Kind::Connecting:
        return Hoplin::accent;
    case ConnectionState::Kind::Disconnected:
        break;
    }
    return Hoplin::muted;
}

void AnalysisView::refreshConnection()
{
    const ConnectionState state = m_store.state();
    m_signInHint->setVisible(!state.isConnected());
    m_dropCard->setVisible(state.isConnected());
    m_dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;").arg(connectionColor(state).name()));
    m_connection->setText(connectionLabel(state));
    refreshStatus();
}

void AnalysisView::refreshStatus()
{
    QString text = m_runner.statusLine();
    if (text.isEmpty())
        text = m_store.state().isConnected() ? QStringLiteral("Drop audio files to analyse them on the VPS.")
                                             : QStringLiteral("Sign in from the top-right connection menu to start.");
    m_statusText->setFullText(text);
    m_count->setText(QStringLiteral("Files analysed this session: %1").arg(m_runner.analyzedCount()));
}

void AnalysisView::refreshRunning()
{
    const bool running = m_runner.isRunning();
    m_dropSpinner->setVisible(running);
    m_stop->setVisible(running);
    const bool anyFinished = std::any_of(m_runner.items().cbegin(), m_runner.items().cend(),
                                         [](const AnalysisRunner::Item &it) { return !it.isPending(); });
    m_clearFinished->setVisible(anyFinished);
    m_clearFinished->setEnabled(!running);
}

ItemCard *AnalysisView::makeCard(const QUuid &id)
{
    auto *card = new ItemCard(id);
    connect(card, &ItemCard::toggleRequested, this, &AnalysisView::toggle);
    connect(card, &ItemCard::saveRequested, this, &AnalysisView::saveReport);
    connect(card, &ItemCard::retryRequested, this, &AnalysisView::retry);
    connect(card, &ItemCard::removeRequested, this, [this](const QUuid &id) { m_runner.remove(id); });
    return card;
}

void AnalysisView::refreshItems()
{
    m_cards->resetRows();
    refreshStatus();
}

void AnalysisView::refreshProgress(const QUuid &id)
{
    ItemCard *card = m_cards->card(id);
    if (!card)
        return;
    if (const std::optional<AnalysisRunner::Item> item = m_runner.item(id))
        card->renderProgress(*item);
}

void AnalysisView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    runLaunchAutomation();
}

bool AnalysisView::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && watched == window()) {
        watched->removeEventFilter(this);
        runLaunchAutomation();
    }
    return QWidget::eventFilter(watched, event);
}

void AnalysisView::runLaunchAutomation()
{
    if (m_launched)
        return;
    m_launched = true;
    Settings &settings = Settings::shared();
    const QString analyze = settings.string(QString::fromLatin1(keys::autoAnalyze));
    if (!trimBlanks(analyze).isEmpty())
        detach(runAutoAnalyze(analyze.split(u',', Qt::SkipEmptyParts)), QStringLiteral("analysis"),
               QStringLiteral("launch analysis"));
}

QCoro::Task<> AnalysisView::runAutoAnalyze(QStringList paths)
{
    QPointer<AnalysisView> self(this);
    for (int check = 0; check < 100 && !m_store.state().isConnected(); ++check) {
        co_await QCoro::sleepFor(std::chrono::milliseconds(200));
        if (!self)
            co_return;
    }
    if (m_store.state().isConnected())
        enqueue(paths);
}

} // namespace hoplin
