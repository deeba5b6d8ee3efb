#pragma once

#include "convert/ConvertRunner.h"
#include "service/Records.h"

#include <QFrame>
#include <functional>

class QComboBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace hoplin {

class Spinner;

// One card of the Convert page: a drop zone for one preset (or a picker of presets), its queued
// files, and the open-panel buttons.
class ConvertCard : public QFrame {
    Q_OBJECT
public:
    struct Look {
        QString key;
        QString icon;
        QString title;
        QString dropTitle;
        QString dropHint;
        QString pickerLabel; // empty: no picker
        QString caption;
    };

    explicit ConvertCard(const Look &look, QWidget *parent = nullptr);

    const Look &look() const { return m_look; }
    void setLook(const Look &look);
    // The preset the next drop uses, with the picker's choices (ignored without a picker).
    void setPresets(const std::optional<Preset> &current, const QList<Preset> &choices = {});
    std::optional<Preset> preset() const { return m_preset; }
    // The card's share of the queue: its newest items (up to itemsShown, oldest first), how many
    // it has in all and whether any is pending.
    struct Items {
        QList<const QueueItem *> newest;
        qsizetype total = 0;
        bool anyPending = false;
    };
    static constexpr int itemsShown = 3;
    void showItems(const Items &items, bool running);
    // The file names and statuses the card lists now, oldest first.
    QStringList shownItems() const;

    bool isDropping() const { return m_dropping; }
    QComboBox *picker() const { return m_picker; }
    QPushButton *clearButton() const { return m_clear; }
    // The filter of "Choose Files".
    static QString fileFilter();

    // Called with the chosen or dropped paths; returns whether a drop is accepted.
    std::function<bool(const QStringList &paths)> onFiles;
    std::function<void(const QString &presetID)> onPicked;
    std::function<void()> onClear;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void setDropping(bool dropping);
    void chooseFiles();
    void chooseFolder();

    Look m_look;
    std::optional<Preset> m_preset;
    bool m_dropping = false;
    bool m_reported = false;
    QLabel *m_icon = nullptr;
    QLabel *m_title = nullptr;
    Spinner *m_activity = nullptr;
    QPushButton *m_clear = nullptr;
    QFrame *m_zone = nullptr;
    QLabel *m_dropTitle = nullptr;
    QLabel *m_dropHint = nullptr;
    QWidget *m_itemsBox = nullptr;
    QLabel *m_more = nullptr;
    QList<QWidget *> m_rowBoxes;
    QList<QLabel *> m_rowNames;
    QList<QLabel *> m_rowStatuses;
    QWidget *m_footer = nullptr;
    QLabel *m_pickerLabel = nullptr;
    QComboBox *m_picker = nullptr;
    QLabel *m_caption = nullptr;
};

} // namespace hoplin
