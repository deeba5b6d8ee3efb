#include "QueueModel.h"

#include <algorithm>
#include <cmath>

namespace hoplin {

QString progressLabel(const QueueItem &item)
{
    if (!item.progress)
        return {};
    QString text = QStringLiteral("%1 %").arg(int(std::floor(std::clamp(*item.progress, 0.0, 1.0) * 100)));
    if (item.remainingSeconds) {
        const int seconds = int(std::ceil(std::max(0.0, *item.remainingSeconds)));
        if (seconds >= 60)
            text += QStringLiteral(" · about %1 min %2 s left").arg(QString::number(seconds / 60),
                                                                  QString::number(seconds % 60));
        else
            text += QStringLiteral(" · about %1 s left").arg(seconds);
    }
    return text;
}

QueueModel::QueueModel(ConvertRunner &runner, QObject *parent)
    : QAbstractListModel(parent)
    , m_runner(runner)
{
    connect(&runner, &ConvertRunner::itemUpdated, this, [this](qsizetype row) {
        const QModelIndex changed = index(int(row));
        emit dataChanged(changed, changed);
    });
    connect(&runner, &ConvertRunner::itemsAppended, this, [this](qsizetype first, qsizetype count) {
        // The runner has already appended; the view learns of all the rows in one step.
        beginInsertRows({}, int(first), int(first + count - 1));
        endInsertRows();
    });
    connect(&runner, &ConvertRunner::itemsAboutToBeRemoved, this, [this] { beginResetModel(); });
    connect(&runner, &ConvertRunner::itemsRemoved, this, [this] { endResetModel(); });
}

int QueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_runner.items().size());
}

const QueueItem *QueueModel::item(int row) const
{
    const QList<QueueItem> &items = m_runner.items();
    return row >= 0 && row < items.size() ? &items[row] : nullptr;
}

QueueModel::Action QueueModel::actionFor(const QueueItem &item)
{
    if (item.succeeded == false)
        return Action::Retry;
    if (item.succeeded == true)
        return item.output ? Action::Reveal : Action::None;
    return Action::Remove;
}

QString QueueModel::actionText(Action action)
{
    switch (action) {
    case Action::Retry:
        return QStringLiteral("Retry");
    case Action::Reveal:
        return QStringLiteral("Reveal");
    case Action::Remove:
        return QStringLiteral("Remove");
    case Action::None:
        break;
    }
    return {};
}

void QueueModel::setPresetNames(const QHash<QString, QString> &names)
{
    if (names == m_presetNames)
        return;
    m_presetNames = names;
    if (rowCount() > 0)
        emit dataChanged(index(0), index(rowCount() - 1), {PresetNameRole});
}

QVariant QueueModel::data(const QModelIndex &index, int role) const
{
    const QueueItem *it = item(index.row());
    if (!it || index.parent().isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return it->fileName();
    case Qt::ToolTipRole:
        return it->errorDetail.value_or(it->input);
    case InputRole:
        return it->input;
    case PresetNameRole:
        return m_presetNames.value(it->presetID, it->presetID);
    case StatusRole:
        return it->status;
    case DetailRole:
        return it->errorDetail.value_or(QString());
    case OutcomeRole:
        return int(!it->succeeded ? Outcome::Pending : *it->succeeded ? Outcome::Done : Outcome::Failed);
    case ProgressRole:
        return it->isPending() && it->progress ? QVariant(std::clamp(*it->progress, 0.0, 1.0)) : QVariant();
    case ProgressTextRole:
        return it->isPending() ? progressLabel(*it) : QString();
    case ActionRole:
        return int(actionFor(*it));
    default:
        return {};
    }
}

} // namespace hoplin
