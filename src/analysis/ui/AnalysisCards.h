#pragma once

#include "analysis/AnalysisRunner.h"

#include <QAbstractButton>
#include <QFrame>
#include <QLabel>
#include <QList>
#include <QUrl>
#include <functional>

class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace hoplin {

class Spinner;

// One line of text shortened with "…" when the space is too narrow; the full text is its tooltip.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(Qt::TextElideMode mode, QWidget *parent = nullptr);
    void setFullText(const QString &text);
    QString fullText() const { return m_text; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void refresh();
    Qt::TextElideMode m_mode;
    QString m_text;
};

// The common frame of the page's cards: white fill, rounded border, 20-pixel inset, parts 14
// pixels apart.
class AnalysisCard : public QFrame {
    Q_OBJECT
public:
    explicit AnalysisCard(QWidget *parent = nullptr);
    QVBoxLayout *content() const { return m_content; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QVBoxLayout *m_content;
};

// The dashed area that takes dropped files and folders. What happens with a drop is the page's
// decision (`onDrop` answers whether the drop is accepted).
class DropZone : public QFrame {
    Q_OBJECT
public:
    explicit DropZone(QWidget *parent = nullptr);
    std::function<bool(const QList<QUrl> &)> onDrop;
    bool isDropping() const { return m_dropping; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dragLeaveEvent(QDragLeaveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void setDropping(bool value);
    bool m_dropping = false;
};

// The card's header: one flat button over the whole row that opens and closes the details.
class CardHeader : public QAbstractButton {
    Q_OBJECT
public:
    explicit CardHeader(QWidget *parent = nullptr);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// One queued file: header with its state, the upload bar while it uploads, its actions once
// finished, and, while expanded, the analysis sections or the error.
class ItemCard : public AnalysisCard {
    Q_OBJECT
public:
    explicit ItemCard(const QUuid &id, QWidget *parent = nullptr);

    QUuid id() const { return m_id; }
    void render(const AnalysisRunner::Item &item, bool expanded, bool runnerRunning);
    void renderProgress(const AnalysisRunner::Item &item);

signals:
    void toggleRequested(const QUuid &id);
    void saveRequested(const QUuid &id);
    void retryRequested(const QUuid &id);
    void removeRequested(const QUuid &id);

private:
    void rebuildDetails(const AnalysisRunner::Item &item, bool expanded);

    QUuid m_id;
    CardHeader *m_header;
    QLabel *m_chevron;
    QLabel *m_icon;
    ElidedLabel *m_name;
    Spinner *m_spinner;
    QLabel *m_status;
    QLabel *m_summary;
    QProgressBar *m_progress;
    QWidget *m_actions;
    QPushButton *m_save;
    QPushButton *m_retry;
    QPushButton *m_clear;
    QWidget *m_details;
    // What the details show now, so a status change does not rebuild them.
    std::optional<AnalysisRunner::Item> m_detailsFor;
    bool m_detailsExpanded = false;
};

} // namespace hoplin
