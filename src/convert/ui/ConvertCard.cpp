#include "ConvertCard.h"

#include "convert/MediaScanner.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"
#include "platform/Settings.h"
#include "platform/ui/Desktop.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

namespace hoplin {

namespace {

QColor statusColour(const QueueItem &item)
{
    if (!item.succeeded)
        return Hoplin::muted;
    return *item.succeeded ? Hoplin::okTeal : Hoplin::errRed;
}
} // namespace

ConvertCard::ConvertCard(const Look &look, QWidget *parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("convertCard"));
    setAcceptDrops(true);
    setMinimumWidth(220);

    m_icon = new QLabel;
    m_icon->setFont(theme::font(18));
    m_title = new QLabel;
    m_title->setTextFormat(Qt::PlainText); // a preset's name from the service
    m_title->setFont(theme::font(13, QFont::DemiBold));
    m_activity = new Spinner(14);
    m_activity->hide();
    m_clear = new QPushButton(QStringLiteral("Clear"));
    m_clear->setFlat(true);
    m_clear->setCursor(Qt::PointingHandCursor);
    connect(m_clear, &QPushButton::clicked, this, [this] {
        if (onClear)
            onClear();
    });
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(m_icon);
    header->addWidget(m_title, 1);
    header->addWidget(m_activity);
    header->addWidget(m_clear);

    m_zone = new QFrame;
    m_zone->setObjectName(QStringLiteral("dropZone"));
    m_zone->setMinimumHeight(84);
    m_dropTitle = new QLabel;
    m_dropTitle->setAlignment(Qt::AlignCenter);
    m_dropTitle->setWordWrap(true);
    m_dropTitle->setFont(theme::font(13, QFont::Medium));
    m_dropHint = new QLabel;
    m_dropHint->setTextFormat(Qt::PlainText); // a preset's hint from the service
    m_dropHint->setAlignment(Qt::AlignCenter);
    m_dropHint->setWordWrap(true);
    m_dropHint->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_itemsBox = new QWidget;
    auto *itemsLayout = new QVBoxLayout(m_itemsBox);
    itemsLayout->setContentsMargins(0, 0, 0, 0);
    itemsLayout->setSpacing(0);
    m_more = theme::label(QString(), 12, Hoplin::muted);
    m_more->setMinimumHeight(QFontMetrics(theme::font(12)).height() + 2);
    itemsLayout->addWidget(m_more);
    for (int row = 0; row < itemsShown; ++row) {
        auto *box = new QWidget;
        // A full line each, however little room the grid gives the card.
        box->setMinimumHeight(QFontMetrics(theme::font(12)).height() + 2);
        auto *rowLayout = new QHBoxLayout(box);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        auto *name = theme::label(QString(), 12, Hoplin::ink);
        name->setMinimumWidth(40);
        name->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        auto *status = theme::label(QString(), 12, Hoplin::muted);
        status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        rowLayout->addWidget(name, 3);
        rowLayout->addWidget(status, 2);
        itemsLayout->addWidget(box);
        m_rowBoxes << box;
        m_rowNames << name;
        m_rowStatuses << status;
    }
    auto *zoneLayout = new QVBoxLayout(m_zone);
    zoneLayout->setContentsMargins(12, 8, 12, 8);
    zoneLayout->addStretch();
    zoneLayout->addWidget(m_dropTitle);
    zoneLayout->addWidget(m_dropHint);
    zoneLayout->addWidget(m_itemsBox);
    zoneLayout->addStretch();

    auto *chooseFiles = new QPushButton(QStringLiteral("Choose Files"));
    auto *chooseFolder = new QPushButton(QStringLiteral("Choose Folder"));
    connect(chooseFiles, &QPushButton::clicked, this, &ConvertCard::chooseFiles);
    connect(chooseFolder, &QPushButton::clicked, this, &ConvertCard::chooseFolder);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(chooseFiles);
    buttons->addWidget(chooseFolder);

    m_footer = new QWidget;
    m_pickerLabel = new QLabel;
    m_pickerLabel->setFont(theme::font(10, QFont::DemiBold));
    m_pickerLabel->setStyleSheet(QStringLiteral("color: %1; letter-spacing: 1px;").arg(Hoplin::muted.name()));
    m_picker = new QComboBox;
    m_caption = new QLabel;
    m_caption->setStyleSheet(QStringLiteral("color: %1;").arg(Hoplin::muted.name()));
    m_caption->setFont(theme::font(11));
    connect(m_picker, &QComboBox::activated, this, [this](int index) {
        if (onPicked)
            onPicked(m_picker->itemData(index).toString());
    });
    auto *footer = new QVBoxLayout(m_footer);
    footer->setContentsMargins(0, 0, 0, 0);
    footer->setSpacing(4);
    auto *pickerRow = new QHBoxLayout;
    pickerRow->addWidget(m_pickerLabel);
    pickerRow->addWidget(m_picker, 1);
    footer->addLayout(pickerRow);
    footer->addWidget(m_caption);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 10, 14, 12);
    layout->setSpacing(8);
    layout->addLayout(header);
    layout->addWidget(m_zone, 1);
    layout->addLayout(buttons);
    layout->addWidget(m_footer);

    setLook(look);
    setDropping(false);
    showItems(Items{}, false);
}

void ConvertCard::setLook(const Look &look)
{
    m_look = look;
    m_icon->setText(look.icon);
    m_title->setText(look.title);
    m_dropTitle->setText(look.dropTitle);
    m_dropHint->setText(look.dropHint);
    m_pickerLabel->setText(look.pickerLabel);
    m_caption->setText(look.caption);
    m_footer->setVisible(!look.pickerLabel.isEmpty());
}

void ConvertCard::setPresets(const std::optional<Preset> &current, const QList<Preset> &choices)
{
    m_preset = current;
    if (m_look.pickerLabel.isEmpty())
        return;
    QSignalBlocker blocker(m_picker);
    m_picker->clear();
    for (const Preset &choice : choices)
        m_picker->addItem(choice.name, choice.id);
    if (current)
        m_picker->setCurrentIndex(m_picker->findData(current->id));
}

void ConvertCard::showItems(const Items &items, bool running)
{
    const bool empty = items.total == 0;
    m_activity->setVisible(running && items.anyPending);
    m_clear->setVisible(!empty);
    // Clearing is refused during a run; say so before the click.
    m_clear->setEnabled(!running);
    m_dropTitle->setVisible(empty);
    m_dropHint->setVisible(empty);
    m_itemsBox->setVisible(!empty);

    // The newest files matter most while dropping more; older ones are summed up. The rows are
    // made once and refilled, so a busy queue costs a few text changes per refresh.
    const qsizetype earlier = items.total - items.newest.size();
    m_more->setText(QStringLiteral("%1 earlier files").arg(earlier));
    m_more->setVisible(earlier > 0);
    // Room for every line shown, so the grid cannot squeeze them over one another.
    const int lines = int(items.newest.size()) + (earlier > 0 ? 1 : 0);
    m_itemsBox->setMinimumHeight(lines * (QFontMetrics(theme::font(12)).height() + 2));
    for (qsizetype row = 0; row < itemsShown; ++row) {
        const bool used = row < items.newest.size();
        m_rowBoxes[row]->setVisible(used);
        if (!used)
            continue;
        const QueueItem &item = *items.newest[row];
        m_rowNames[row]->setText(item.fileName());
        m_rowNames[row]->setToolTip(theme::plainToolTip(item.input));
        m_rowStatuses[row]->setText(item.status);
        theme::tint(m_rowStatuses[row], statusColour(item));
    }
}

QStringList ConvertCard::shownItems() const
{
    QStringList shown;
    for (qsizetype row = 0; row < m_rowBoxes.size(); ++row) {
        if (!m_rowBoxes[row]->isHidden())
            shown << m_rowNames[row]->text() + QStringLiteral(" — ") + m_rowStatuses[row]->text();
    }
    return shown;
}

void ConvertCard::setDropping(bool dropping)
{
    m_dropping = dropping;
    const QColor border = dropping ? Hoplin::accent : Hoplin::line;
    const QColor fill = dropping ? Hoplin::accentSoft : Hoplin::bg;
    setStyleSheet(QStringLiteral("#convertCard { background: %1; border: 1px solid %2; border-radius: 12px; }"
                                 "#dropZone { background: %3; border: 1.5px dashed %4; border-radius: 10px; }")
                      .arg(Hoplin::card.name(), Hoplin::line.name(), fill.name(), border.name()));
}

void ConvertCard::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls()) {
        setDropping(true);
        event->acceptProposedAction();
    }
}

void ConvertCard::dragLeaveEvent(QDragLeaveEvent *event)
{
    setDropping(false);
    QFrame::dragLeaveEvent(event);
}

void ConvertCard::dropEvent(QDropEvent *event)
{
    setDropping(false);
    QStringList paths;
    for (const QUrl &url : desktop::localFiles(event->mimeData()))
        paths << url.toLocalFile();
    if (!paths.isEmpty() && onFiles && onFiles(paths))
        event->acceptProposedAction();
    else
        event->ignore();
}

void ConvertCard::chooseFiles()
{
    const QStringList files =
        QFileDialog::getOpenFileNames(this, QStringLiteral("Choose files to convert."), QString(), fileFilter());
    if (!files.isEmpty() && onFiles)
        onFiles(files);
}

QString ConvertCard::fileFilter()
{
    // The scanner's own list: a panel that offers more would let users pick files it then drops.
    return QStringLiteral("Audio and video (%1)").arg(MediaScanner::mediaExtensions().globPatterns());
}

void ConvertCard::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Choose a folder — media files inside it (including subfolders) are queued."));
    if (!folder.isEmpty() && onFiles)
        onFiles({folder});
}

void ConvertCard::showEvent(QShowEvent *event)
{
    QFrame::showEvent(event);
    if (m_reported || !Settings::shared().boolean(keys::dropTargetDebug))
        return;
    m_reported = true;
    QTimer::singleShot(1500, this, [this] {
        if (!window() || !window()->isVisible())
            return;
        const QPoint topLeft = mapToGlobal(QPoint(0, 0));
        printf("DROPTARGET %s %d %d %d %d\n", qPrintable(m_look.key), topLeft.x(), topLeft.y(), width(), height());
        fflush(stdout);
    });
}

} // namespace hoplin
