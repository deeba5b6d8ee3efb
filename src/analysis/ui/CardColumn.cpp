#include "CardColumn.h"

#include "AnalysisCards.h"
#include "analysis/AnalysisFormat.h"

#include <QEvent>
#include <QScrollArea>
#include <QScrollBar>

namespace hoplin {

CardColumn::CardColumn(const AnalysisRunner &runner, const QSet<QUuid> &expanded, QScrollArea *scroll,
                       MakeCard make, QWidget *parent)
    : QWidget(parent)
    , m_runner(runner)
    , m_expanded(expanded)
    , m_scroll(scroll)
    , m_make(std::move(make))
{
    setObjectName(QStringLiteral("analysisCards"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    setAttribute(Qt::WA_StaticContents);
    connect(m_scroll->verticalScrollBar(), &QScrollBar::valueChanged, this, &CardColumn::place);
    m_scroll->viewport()->installEventFilter(this);
}

int CardColumn::heightKey(const AnalysisRunner::Item &item) const
{
    // Collapsed cards differ in height only by the lines and bars they show.
    if (m_expanded.contains(item.id))
        return -1;
    return (AnalysisFormat::summaryLine(item.analysis).has_value() ? 1 : 0) |
           (item.uploadProgress.has_value() ? 2 : 0) | (item.succeeded.has_value() ? 4 : 0);
}

void CardColumn::resetRows()
{
    m_ids.clear();
    m_keys.clear();
    m_heights.clear();
    appendRows(0);
}

void CardColumn::appendRows(qsizetype first)
{
    const QList<AnalysisRunner::Item> &items = m_runner.items();
    for (qsizetype i = std::max<qsizetype>(first, m_ids.size()); i < items.size(); ++i) {
        m_ids.append(items[i].id);
        m_keys.append(heightKey(items[i]));
        m_heights.append(-1);
    }
    place();
}

void CardColumn::refresh(const QList<QUuid> &ids)
{
    for (const QUuid &id : ids) {
        const std::optional<AnalysisRunner::Item> item = m_runner.item(id);
        if (!item)
            continue;
        const qsizetype row = m_ids.indexOf(id);
        if (row >= 0)
            m_keys[row] = heightKey(*item);
        if (ItemCard *card = m_cards.value(id))
            draw(card, *item);
    }
    place();
}

void CardColumn::redrawCards()
{
    for (auto it = m_cards.cbegin(); it != m_cards.cend(); ++it) {
        if (const std::optional<AnalysisRunner::Item> item = m_runner.item(it.key()))
            draw(it.value(), *item);
    }
}

void CardColumn::draw(ItemCard *card, const AnalysisRunner::Item &item)
{
    card->render(item, m_expanded.contains(item.id), m_runner.isRunning());
}

int CardColumn::measure(ItemCard *card) const
{
    return card->hasHeightForWidth() ? card->heightForWidth(width()) : card->sizeHint().height();
}

int CardColumn::estimate(qsizetype row) const
{
    const int key = m_keys[row];
    if (key >= 0 && m_keyHeights.contains(key))
        return m_keyHeights.value(key);
    if (m_heights[row] >= 0)
        return m_heights[row];
    return m_keyHeights.isEmpty() ? kGuessHeight : m_keyHeights.cbegin().value();
}

void CardColumn::place()
{
    if (m_placing)
        return;
    m_placing = true;
    // The rows within half a screen of the visible part get cards; the rest is space.
    const QWidget *viewport = m_scroll->viewport();
    const int span = std::max(viewport->height(), 600);
    const int top = mapFrom(viewport, QPoint(0, 0)).y();
    const int from = top - span / 2;
    const int to = top + span + span / 2;
    const QList<AnalysisRunner::Item> &items = m_runner.items();
    QHash<QUuid, ItemCard *> kept;
    int y = 0;
    for (qsizetype row = 0; row < m_ids.size(); ++row) {
        const QUuid &id = m_ids[row];
        int height = estimate(row);
        if (y <= to && y + height >= from) {
            ItemCard *card = m_cards.take(id);
            if (!card) {
                const std::optional<AnalysisRunner::Item> item =
                    row < items.size() && items[row].id == id ? items[row] : m_runner.item(id);
                if (item) {
                    card = m_make(id);
                    card->setParent(this);
                    draw(card, *item);
                    card->show();
                }
            }
            if (card) {
                if (row < items.size() && items[row].id == id)
                    m_keys[row] = heightKey(items[row]);
                height = measure(card);
                m_heights[row] = height;
                if (m_keys[row] >= 0)
                    m_keyHeights.insert(m_keys[row], height);
                card->setGeometry(0, y, width(), height);
                kept.insert(id, card);
            }
        }
        y += height + kSpacing;
    }
    for (ItemCard *gone : std::as_const(m_cards))
        release(gone);
    m_cards = kept;
    const int total = m_ids.isEmpty() ? 0 : y - kSpacing;
    if (total != m_total) {
        m_total = total;
        updateGeometry();
    }
    m_placing = false;
}

void CardColumn::release(ItemCard *card)
{
    // A card may be inside its own button's click right now: out of the column at once, deleted later.
    card->hide();
    card->setParent(nullptr);
    card->deleteLater();
}

QSize CardColumn::sizeHint() const
{
    return {200, m_total};
}

void CardColumn::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    place();
}

void CardColumn::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    place();
}

bool CardColumn::event(QEvent *event)
{
    if (event->type() == QEvent::LayoutRequest)
        place();
    return QWidget::event(event);
}

bool CardColumn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        place();
    return QWidget::eventFilter(watched, event);
}

} // namespace hoplin
