#include "QueueView.h"

#include "ui/Theme.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace hoplin {

namespace {

constexpr int margin = 4;
constexpr int gap = 12;

QColor outcomeColour(QueueModel::Outcome outcome)
{
    switch (outcome) {
    case QueueModel::Outcome::Done:
        return Hoplin::okTeal;
    case QueueModel::Outcome::Failed:
        return Hoplin::errRed;
    case QueueModel::Outcome::Pending:
        break;
    }
    return Hoplin::ink;
}

void drawText(QPainter *painter, const QRect &rect, const QString &text, const QFont &font, const QColor &colour,
              Qt::TextElideMode elide = Qt::ElideRight)
{
    painter->setFont(font);
    painter->setPen(colour);
    const QString shown = QFontMetrics(font).elidedText(text, elide, rect.width());
    // Drawn as plain text: names and service messages are never markup.
    painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
}

} // namespace

QRect QueueDelegate::buttonRect(const QRect &row)
{
    return QRect(row.right() - margin - buttonWidth + 1, row.top() + (row.height() - 26) / 2, buttonWidth, 26);
}

QSize QueueDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return QSize(option.rect.width() > 0 ? option.rect.width() : 400, rowHeight);
}

void QueueDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    painter->save();
    const QRect row = option.rect;
    painter->fillRect(row, Hoplin::card);
    painter->setPen(Hoplin::line);
    painter->drawLine(row.bottomLeft(), row.bottomRight());

    const auto action = QueueModel::Action(index.data(QueueModel::ActionRole).toInt());
    const int textRight = row.right() - margin - buttonWidth - gap;
    const int textWidth = std::max(0, textRight - row.left() - margin);
    // Columns of the first line in the proportions 4 : 2 : 3.
    const int nameWidth = (textWidth - 2 * gap) * 4 / 9;
    const int presetWidth = (textWidth - 2 * gap) * 2 / 9;
    const int top = row.top() + 6;
    const int lineHeight = 18;
    const QRect name(row.left() + margin, top, nameWidth, lineHeight);
    const QRect preset(name.right() + gap, top, presetWidth, lineHeight);
    const QRect status(preset.right() + gap, top, textRight - preset.right() - gap, lineHeight);
    const QRect second(row.left() + margin, top + lineHeight + 2, textWidth, 16);

    const auto outcome = QueueModel::Outcome(index.data(QueueModel::OutcomeRole).toInt());
    drawText(painter, name, index.data(Qt::DisplayRole).toString(), theme::font(13, QFont::Medium), Hoplin::ink,
             Qt::ElideMiddle);
    drawText(painter, preset, index.data(QueueModel::PresetNameRole).toString(), theme::font(12), Hoplin::muted);
    drawText(painter, status, index.data(QueueModel::StatusRole).toString(), theme::font(12),
             outcomeColour(outcome));

    const QString detail = index.data(QueueModel::DetailRole).toString();
    const QVariant progress = index.data(QueueModel::ProgressRole);
    if (!detail.isEmpty()) {
        drawText(painter, second, detail, theme::font(11), Hoplin::errRed);
    } else if (progress.isValid()) {
        const int barWidth = nameWidth + gap + presetWidth;
        const QRect track(second.left(), second.center().y() - 3, barWidth, 6);
        painter->setPen(Qt::NoPen);
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setBrush(Hoplin::line);
        painter->drawRoundedRect(track, 3, 3);
        painter->setBrush(Hoplin::accent);
        painter->drawRoundedRect(QRect(track.topLeft(), QSize(int(track.width() * progress.toDouble()), 6)), 3, 3);
        drawText(painter, QRect(status.left(), second.top(), status.width(), second.height()),
                 index.data(QueueModel::ProgressTextRole).toString(), theme::font(11), Hoplin::muted);
    }

    if (action != QueueModel::Action::None) {
        QStyleOptionButton button;
        button.initFrom(option.widget);
        button.rect = buttonRect(row);
        button.text = QueueModel::actionText(action);
        button.state = QStyle::State_Raised;
        if (m_actionsEnabled)
            button.state |= QStyle::State_Enabled;
        else
            button.palette.setCurrentColorGroup(QPalette::Disabled);
        if (m_actionsEnabled && (option.state & QStyle::State_MouseOver) && button.rect.contains(
                option.widget ? option.widget->mapFromGlobal(QCursor::pos()) : QPoint()))
            button.state |= QStyle::State_MouseOver;
        if (m_pressed == index)
            button.state |= QStyle::State_Sunken;
        QStyle *style = option.widget ? option.widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_PushButton, &button, painter, option.widget);
    }
    painter->restore();
}

bool QueueDelegate::editorEvent(QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option,
                                const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseButtonRelease)
        return false;
    const auto *mouse = static_cast<QMouseEvent *>(event);
    const bool onButton = mouse->button() == Qt::LeftButton && buttonRect(option.rect).contains(mouse->position().toPoint());
    const auto action = QueueModel::Action(index.data(QueueModel::ActionRole).toInt());
    if (!onButton || action == QueueModel::Action::None || !m_actionsEnabled) {
        m_pressed = QPersistentModelIndex();
        return false;
    }
    if (event->type() == QEvent::MouseButtonPress) {
        m_pressed = index;
        return true;
    }
    const bool clicked = m_pressed == index;
    m_pressed = QPersistentModelIndex();
    if (clicked)
        emit actionTriggered(index.row(), action);
    return true;
}

bool QueueDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &,
                              const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip)
        return false;
    QToolTip::showText(event->globalPos(), theme::plainToolTip(index.data(Qt::ToolTipRole).toString()), view);
    return true;
}

QueueView::QueueView(QueueModel *model, QWidget *parent)
    : QListView(parent)
    , m_model(model)
    , m_delegate(new QueueDelegate(this))
{
    setObjectName(QStringLiteral("queueView"));
    setModel(model);
    setItemDelegate(m_delegate);
    // Every row has the same height: the view then lays out thousands of rows without asking each.
    setUniformItemSizes(true);
    // A drop of thousands of files is laid out in slices between events, not in one go.
    setLayoutMode(QListView::Batched);
    setBatchSize(500);
    setSelectionMode(QAbstractItemView::NoSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    viewport()->setAttribute(Qt::WA_Hover);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, Hoplin::card);
    setPalette(palette);
    connect(model, &QAbstractItemModel::rowsInserted, this, &QueueView::fitHeight);
    connect(model, &QAbstractItemModel::modelReset, this, &QueueView::fitHeight);
    fitHeight();
}

void QueueView::setActionsEnabled(bool enabled)
{
    if (m_delegate->actionsEnabled() == enabled)
        return;
    m_delegate->setActionsEnabled(enabled);
    viewport()->update();
}

QSize QueueView::sizeHint() const
{
    const int rows = std::clamp(m_model->rowCount(), 1, visibleRows);
    return QSize(QListView::sizeHint().width(), rows * QueueDelegate::rowHeight + 2 * frameWidth());
}

void QueueView::fitHeight()
{
    setFixedHeight(sizeHint().height());
}

void QueueView::dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight, const QList<int> &roles)
{
    // Rows never change size, so a changed row needs repainting and nothing else; the list view's
    // own handling lays out and repaints everything it shows.
    if (topLeft == bottomRight && topLeft.isValid()) {
        viewport()->update(visualRect(topLeft));
        return;
    }
    QListView::dataChanged(topLeft, bottomRight, roles);
}

void QueueView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex index = indexAt(event->pos());
    if (!index.isValid())
        return;
    // The error detail and the path, for pasting into a report or a terminal.
    QMenu menu(this);
    const QString detail = index.data(QueueModel::DetailRole).toString();
    if (!detail.isEmpty())
        menu.addAction(QStringLiteral("Copy Error Detail"), [detail] { QApplication::clipboard()->setText(detail); });
    const QString input = index.data(QueueModel::InputRole).toString();
    menu.addAction(QStringLiteral("Copy Path"), [input] { QApplication::clipboard()->setText(input); });
    menu.exec(event->globalPos());
}

} // namespace hoplin
