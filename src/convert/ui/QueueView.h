#pragma once

#include "convert/QueueModel.h"

#include <QListView>
#include <QStyledItemDelegate>

namespace hoplin {

// Paints one queue row: file, preset, status, the error detail or the live progress, and the one
// action button that fits the item's state. Rows are painted, not built from widgets, so a queue of
// thousands costs what its visible rows cost.
class QueueDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int rowHeight = 48;
    static constexpr int buttonWidth = 84;

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
                     const QModelIndex &index) override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    // Actions are refused while a run is active; the buttons show it.
    void setActionsEnabled(bool enabled) { m_actionsEnabled = enabled; }
    bool actionsEnabled() const { return m_actionsEnabled; }
    static QRect buttonRect(const QRect &row);

signals:
    void actionTriggered(int row, hoplin::QueueModel::Action action);

private:
    bool m_actionsEnabled = true;
    QPersistentModelIndex m_pressed;
};

// The list of the Convert queue. Shows up to `visibleRows` rows and scrolls the rest.
class QueueView : public QListView {
    Q_OBJECT
public:
    static constexpr int visibleRows = 10;

    explicit QueueView(QueueModel *model, QWidget *parent = nullptr);
    QueueDelegate *delegate() const { return m_delegate; }
    QueueModel *queueModel() const { return m_model; }
    void setActionsEnabled(bool enabled);
    QSize sizeHint() const override;

protected:
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles = {}) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    void fitHeight();

    QueueModel *m_model;
    QueueDelegate *m_delegate;
};

} // namespace hoplin
