#pragma once

#include "analysis/AnalysisRunner.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QUuid>
#include <QWidget>
#include <functional>

class QScrollArea;

namespace hoplin {

class ItemCard;

// The column of queued files' cards inside the page's scroll area. Only the rows near the visible
// part have a card widget; the others are blank space of their last known height, so a queue of
// thousands costs the widgets of one screen. Rows keep queue order; cards are positioned by hand.
class CardColumn : public QWidget {
    Q_OBJECT
public:
    // Makes an empty card for an item, its signals wired.
    using MakeCard = std::function<ItemCard *(const QUuid &id)>;

    CardColumn(const AnalysisRunner &runner, const QSet<QUuid> &expanded, QScrollArea *scroll, MakeCard make,
               QWidget *parent = nullptr);

    // The runner's items again, after a removal.
    void resetRows();
    // The runner's items from `first` on were added.
    void appendRows(qsizetype first);
    const QList<QUuid> &rows() const { return m_ids; }
    // Redraws these rows' cards where they exist and places the column again.
    void refresh(const QList<QUuid> &ids);
    // Every existing card again (the run started or ended); rows without a card need nothing.
    void redrawCards();
    ItemCard *card(const QUuid &id) const { return m_cards.value(id); }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    // A card's height changed (a bar or line appeared): place the rows again.
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void place();
    int measure(ItemCard *card) const;
    int estimate(qsizetype row) const;
    void draw(ItemCard *card, const AnalysisRunner::Item &item);
    int heightKey(const AnalysisRunner::Item &item) const;
    void release(ItemCard *card);

    static constexpr int kSpacing = 16;
    static constexpr int kGuessHeight = 90;

    const AnalysisRunner &m_runner;
    const QSet<QUuid> &m_expanded;
    QScrollArea *m_scroll;
    MakeCard m_make;
    QList<QUuid> m_ids;
    QList<int> m_keys;    // height key per row, -1 for cards measured one by one (expanded)
    QList<int> m_heights; // last known height per row, -1 while unknown
    QHash<QUuid, ItemCard *> m_cards;
    QHash<int, int> m_keyHeights; // collapsed height per key, at the current width
    int m_total = 0;
    bool m_placing = false;
};

} // namespace hoplin
