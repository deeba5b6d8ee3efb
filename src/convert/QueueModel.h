#pragma once

#include "ConvertRunner.h"

#include <QAbstractListModel>
#include <QHash>

namespace hoplin {

// The Convert queue as a list model over the runner's items: a change to one item announces one
// row, so a view redraws that row and nothing else however long the queue is.
class QueueModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        PresetNameRole = Qt::UserRole + 1,
        StatusRole,
        DetailRole,
        OutcomeRole, // Outcome as an int
        ProgressRole, // 0…1, or invalid while unknown
        ProgressTextRole,
        ActionRole, // Action as an int
        InputRole,
    };
    enum class Outcome { Pending, Done, Failed };
    // The one action a row offers for its item's state.
    enum class Action { None, Retry, Reveal, Remove };

    explicit QueueModel(ConvertRunner &runner, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    const QueueItem *item(int row) const;
    static Action actionFor(const QueueItem &item);
    static QString actionText(Action action);

    // Display names of the presets, by id; an id without one shows as itself.
    void setPresetNames(const QHash<QString, QString> &names);

private:
    ConvertRunner &m_runner;
    QHash<QString, QString> m_presetNames;
};

// "42 %" and "about 1 min 5 s left", or nothing while unknown.
QString progressLabel(const QueueItem &item);

} // namespace hoplin
