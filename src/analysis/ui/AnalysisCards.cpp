#include "platform/ui/Desktop.h"
#include "AnalysisCards.h"

#include "LoudnessGraph.h"
#include "analysis/AnalysisFormat.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"

#include <QDragEnterEvent>
#include <QDir>
#include <QDropEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStyle>
#include <QVBoxLayout>

namespace hoplin {

namespace {

QPushButton *actionButton(const QString &text, const char *name, QWidget *parent)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QLatin1String(name));
    button->setFont(theme::font(11));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

QWidget *sectionTitle(const QString &title, QWidget *parent)
{
    auto *result = theme::label(title.toUpper(), 10, Hoplin::muted, parent, QFont::DemiBold);
    QFont font = result->font();
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    result->setFont(font);
    result->setObjectName(QStringLiteral("sectionTitle"));
    return result;
}

QWidget *sectionWidget(const AnalysisFormat::Section &section, QWidget *parent)
{
    auto *box = new QWidget(parent);
    box->setObjectName(QStringLiteral("section"));
    box->setProperty("title", section.title);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(sectionTitle(section.title, box));
    auto *grid = new QGridLayout();
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(3);
    grid->setColumnMinimumWidth(0, 130);
    grid->setColumnStretch(1, 1);
    for (qsizetype i = 0; i < section.rows.size(); ++i) {
        const AnalysisFormat::Row &row = section.rows[i];
        auto *name = theme::label(row.label, 11, Hoplin::muted, box);
        name->setObjectName(QStringLiteral("rowLabel"));
        name->setFixedWidth(130);
        auto *value = theme::label(row.value.value_or(QString(AnalysisFormat::absentText)), 11, Hoplin::ink, box);
        value->setObjectName(QStringLiteral("rowValue"));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        grid->addWidget(name, int(i), 0, Qt::AlignTop);
        grid->addWidget(value, int(i), 1, Qt::AlignTop);
    }
    layout->addLayout(grid);
    return box;
}

} // namespace

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget *parent)
    : QLabel(parent)
    , m_mode(mode)
{
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    // It shows file names and the service's messages: never markup.
    setTextFormat(Qt::PlainText);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    setToolTip(theme::plainToolTip(text));
    refresh();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    refresh();
}

void ElidedLabel::refresh()
{
    setText(fontMetrics().elidedText(m_text, m_mode, std::max(0, width())));
}

AnalysisCard::AnalysisCard(QWidget *parent)
    : QFrame(parent)
    , m_content(new QVBoxLayout(this))
{
    m_content->setContentsMargins(20, 20, 20, 20);
    m_content->setSpacing(14);
}

void AnalysisCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Hoplin::line, 1));
    painter.setBrush(Hoplin::card);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
}

DropZone::DropZone(QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("dropZone"));
    setAcceptDrops(true);
    setMinimumHeight(96);
}

void DropZone::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(m_dropping ? Hoplin::accent : Hoplin::line, 1.5);
    // Dash pattern lengths are in pen widths: 6 on, 4 off.
    pen.setDashPattern({6 / 1.5, 4 / 1.5});
    painter.setPen(pen);
    painter.setBrush(m_dropping ? Hoplin::accentSoft : Hoplin::bg);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), 8, 8);
}

void DropZone::dragEnterEvent(QDragEnterEvent *event)
{
    if (desktop::localFiles(event->mimeData()).isEmpty())
        return;
    setDropping(true);
    event->acceptProposedAction();
}

void DropZone::dragMoveEvent(QDragMoveEvent *event)
{
    if (!desktop::localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void DropZone::dragLeaveEvent(QDragLeaveEvent *)
{
    setDropping(false);
}

void DropZone::dropEvent(QDropEvent *event)
{
    setDropping(false);
    const QList<QUrl> files = desktop::localFiles(event->mimeData());
    if (!files.isEmpty() && onDrop && onDrop(files))
        event->acceptProposedAction();
    else
        event->ignore();
}

void DropZone::setDropping(bool value)
{
    if (m_dropping == value)
        return;
    m_dropping = value;
    update();
}

CardHeader::CardHeader(QWidget *parent)
    : QAbstractButton(parent)
{
    setObjectName(QStringLiteral("cardHeader"));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QSize CardHeader::sizeHint() const
{
    return layout() ? layout()->sizeHint() : QAbstractButton::sizeHint();
}

QSize CardHeader::minimumSizeHint() const
{
    return layout() ? layout()->minimumSize() : QAbstractButton::minimumSizeHint();
}

void CardHeader::paintEvent(QPaintEvent *)
{
    // The children draw everything; the button itself is only the click target.
}

ItemCard::ItemCard(const QUuid &id, QWidget *parent)
    : AnalysisCard(parent)
    , m_id(id)
{
    setObjectName(QStringLiteral("itemCard"));

    m_header = new CardHeader(this);
    auto *headerLayout = new QVBoxLayout(m_header);
    headerLayout->setContentsMargins(0, 0, 0, 0);
    headerLayout->setSpacing(4);
    auto *row = new QHBoxLayout();
    row->setSpacing(8);
    m_chevron = theme::label(QString(), 11, Hoplin::muted, m_header);
    m_chevron->setObjectName(QStringLiteral("chevron"));
    m_chevron->setFixedWidth(10);
    m_icon = theme::label(QString(), 14, Hoplin::accent, m_header);
    m_icon->setObjectName(QStringLiteral("itemIcon"));
    m_name = new ElidedLabel(Qt::ElideMiddle, m_header);
    m_name->setObjectName(QStringLiteral("itemName"));
    m_name->setFont(theme::font(13, QFont::DemiBold));
    theme::tint(m_name, Hoplin::ink);
    m_spinner = new Spinner(12, m_header);
    m_spinner->setColor(Hoplin::muted);
    m_status = theme::label(QString(), 10, Hoplin::muted, m_header, QFont::Bold);
    m_status->setObjectName(QStringLiteral("itemStatus"));
    row->addWidget(m_chevron);
    row->addWidget(m_icon);
    row->addWidget(m_name, 1);
    row->addWidget(m_spinner);
    row->addWidget(m_status);
    headerLayout->addLayout(row);
    m_summary = theme::label(QString(), 11, Hoplin::muted, m_header);
    m_summary->setObjectName(QStringLiteral("itemSummary"));
    m_summary->setContentsMargins(40, 0, 0, 0);
    headerLayout->addWidget(m_summary);
    for (QWidget *child : m_header->findChildren<QWidget *>())
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    content()->addWidget(m_header);
    connect(m_header, &QAbstractButton::clicked, this, [this] { emit toggleRequested(m_id); });

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("uploadProgress"));
    m_progress->setRange(0, 1000);
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(4);
    // Colours through the palette: a style sheet per card costs milliseconds, and a queue can hold
    // a thousand cards.
    QPalette bar = m_progress->palette();
    bar.setColor(QPalette::Highlight, Hoplin::accent);
    bar.setColor(QPalette::Base, Hoplin::line);
    bar.setColor(QPalette::Window, Hoplin::line);
    m_progress->setPalette(bar);
    content()->addWidget(m_progress);

    m_actions = new QWidget(this);
    auto *actions = new QHBoxLayout(m_actions);
    actions->setContentsMargins(0, 0, 0, 0);
    actions->setSpacing(8);
    m_save = actionButton(QStringLiteral("Save Report"), "saveReportButton", m_actions);
    m_save->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    m_retry = actionButton(QStringLiteral("Retry"), "retryButton", m_actions);
    m_retry->setIcon(style()->standardIcon(QStyle::SP_BrowserReload));
    m_clear = actionButton(QStringLiteral("Clear"), "clearItemButton", m_actions);
    actions->addWidget(m_save);
    actions->addWidget(m_retry);
    actions->addWidget(m_clear);
    actions->addStretch(1);
    content()->addWidget(m_actions);
    connect(m_save, &QPushButton::clicked, this, [this] { emit saveRequested(m_id); });
    connect(m_retry, &QPushButton::clicked, this, [this] { emit retryRequested(m_id); });
    connect(m_clear, &QPushButton::clicked, this, [this] { emit removeRequested(m_id); });

    m_details = new QWidget(this);
    m_details->setObjectName(QStringLiteral("details"));
    auto *details = new QVBoxLayout(m_details);
    details->setContentsMargins(0, 0, 0, 0);
    details->setSpacing(14);
    content()->addWidget(m_details);
}

void ItemCard::render(const AnalysisRunner::Item &item, bool expanded, bool runnerRunning)
{
    const bool failed = item.succeeded == false;
    const bool finished = item.succeeded.has_value();
    m_chevron->setText(expanded ? QStringLiteral("▾") : QStringLiteral("▸"));
    m_icon->setText(failed ? QStringLiteral("⚠") : QStringLiteral("∿"));
    theme::tint(m_icon, failed ? Hoplin::errRed : Hoplin::accent);
    m_name->setFullText(item.fileName());
    m_spinner->setVisible(item.isPending());
    m_status->setText(item.status);
    theme::tint(m_status, item.succeeded == true ? Hoplin::okTeal : failed ? Hoplin::errRed : Hoplin::muted);
    const std::optional<QString> summary = AnalysisFormat::summaryLine(item.analysis);
    m_summary->setText(summary.value_or(QString()));
    m_summary->setVisible(summary.has_value());
    renderProgress(item);

    m_actions->setVisible(finished);
    m_save->setVisible(item.succeeded == true && item.analysis && item.jobID);
    m_retry->setVisible(failed);
    m_retry->setEnabled(!runnerRunning);
    m_clear->setEnabled(!runnerRunning);

    if (!m_detailsFor || m_detailsExpanded != expanded || m_detailsFor->analysis != item.analysis ||
        m_detailsFor->errorMessage != item.errorMessage || m_detailsFor->succeeded != item.succeeded)
        rebuildDetails(item, expanded);
}

void ItemCard::renderProgress(const AnalysisRunner::Item &item)
{
    m_progress->setVisible(item.uploadProgress.has_value());
    if (item.uploadProgress)
        m_progress->setValue(int(std::clamp(*item.uploadProgress, 0.0, 1.0) * 1000));
}

void ItemCard::rebuildDetails(const AnalysisRunner::Item &item, bool expanded)
{
    m_detailsFor = item;
    m_detailsExpanded = expanded;
    for (QWidget *child : m_details->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly))
        delete child;

    QList<AnalysisFormat::Section> sections;
    if (expanded && item.analysis) {
        sections = AnalysisFormat::sections(*item.analysis);
    } else if (expanded && item.succeeded == false) {
        auto *box = new QWidget(m_details);
        box->setObjectName(QStringLiteral("section"));
        box->setProperty("title", QStringLiteral("Error"));
        auto *layout = new QVBoxLayout(box);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(6);
        layout->addWidget(sectionTitle(QStringLiteral("Error"), box));
        auto *message = theme::label(item.errorMessage.value_or(QStringLiteral("Unknown error.")), 11, Hoplin::errRed, box);
        message->setObjectName(QStringLiteral("errorMessage"));
        message->setWordWrap(true);
        message->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(message);
        m_details->layout()->addWidget(box);
    }
    for (const AnalysisFormat::Section &section : sections)
        m_details->layout()->addWidget(sectionWidget(section, m_details));
    // The loudness section is the last one; its graph goes right under it.
    if (expanded && item.analysis && item.analysis->loudness && item.analysis->loudness->loudnessHistory) {
        auto *graph = new LoudnessGraph(m_details);
        graph->setData(*item.analysis->loudness->loudnessHistory, item.analysis->loudness->integratedLufs);
        const QFileInfo input(item.input);
        graph->setSuggestedFile(input.dir().filePath(input.completeBaseName() + QStringLiteral("_loudness.png")));
        m_details->layout()->addWidget(graph);
    }
    m_details->setVisible(!m_details->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly).isEmpty());
}

} // namespace hoplin
