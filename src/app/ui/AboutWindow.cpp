#include "AboutWindow.h"

#include "ReusableWindow.h"
#include "platform/Platform.h"
#include "ui/Theme.h"
#include "version.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QVBoxLayout>

namespace hoplin {

QIcon appIcon()
{
    static const QIcon icon(QStringLiteral(":/hoplin/AppIcon.svg"));
    return icon;
}

AboutWindowController &AboutWindowController::shared()
{
    static auto *controller = new AboutWindowController;
    return *controller;
}

QWidget *AboutWindowController::build()
{
    QWidget *window = windows::makeReusableWindow(QStringLiteral("About Hoplin Desktop"), QSize(340, 300), false);
    window->setObjectName(QStringLiteral("aboutWindow"));

    auto *icon = new QLabel;
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setFixedSize(64, 64);
    QPixmap pixmap = appIcon().pixmap(QSize(64, 64), window->devicePixelRatioF());
    if (pixmap.isNull()) {
        // Without the icon the column keeps its shape.
        pixmap = QPixmap(64, 64);
        pixmap.fill(Qt::transparent);
    }
    icon->setPixmap(pixmap);
    auto *name = theme::label(QLatin1String(version::kAppName), 18, Hoplin::ink, nullptr, QFont::Bold);
    auto *versionLine = theme::label(
        QStringLiteral("Version %1 (%2)").arg(QLatin1String(version::kVersion)).arg(version::kBuild), 12, Hoplin::ink);
    versionLine->setObjectName(QStringLiteral("aboutVersion"));
    auto *notes = new QPushButton(QStringLiteral("Release Notes"));
    notes->setObjectName(QStringLiteral("releaseNotesButton"));
    connect(notes, &QPushButton::clicked, this, [] { ReleaseNotesWindowController::shared().show(); });
    auto *description = theme::label(QStringLiteral("Correction, Cinema, Convert and Analysis in one app. Conversion "
                                                    "scripts and audio analysis stay online."),
                                     11, Hoplin::muted);
    description->setWordWrap(true);
    description->setAlignment(Qt::AlignCenter);
    description->setFixedWidth(260);
    auto *rights = theme::label(QStringLiteral("© 2026 Hoplin. All rights reserved."), 10, Hoplin::muted);
    rights->setObjectName(QStringLiteral("aboutRights"));

    auto *column = new QVBoxLayout(window);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(12);
    column->addStretch(1);
    for (QWidget *item :
         {static_cast<QWidget *>(icon), static_cast<QWidget *>(name), static_cast<QWidget *>(versionLine),
          static_cast<QWidget *>(notes), static_cast<QWidget *>(description), static_cast<QWidget *>(rights)})
        column->addWidget(item, 0, Qt::AlignHCenter);
    column->addStretch(1);
    return window;
}

ReleaseNotesWindowController &ReleaseNotesWindowController::shared()
{
    static auto *controller = new ReleaseNotesWindowController;
    return *controller;
}

ReleaseNotesWindowController::ReleaseNotesWindowController()
    : m_text(loadChangeLog(platform::resourceDirectory()))
{
}

QString ReleaseNotesWindowController::loadChangeLog(const QString &resourceDirectory)
{
    const QString missing = QStringLiteral("CHANGELOG.md is not bundled with this build.");
    if (resourceDirectory.isEmpty())
        return missing;
    QFile file(resourceDirectory + QStringLiteral("/CHANGELOG.md"));
    if (!file.open(QIODevice::ReadOnly))
        return missing;
    // Stateless: a sequence cut off at the end of the file counts as an error too.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(file.readAll());
    if (decoder.hasError() || file.error() != QFileDevice::NoError)
        return missing;
    return text;
}

QWidget *ReleaseNotesWindowController::build()
{
    QWidget *window =
        windows::makeReusableWindow(QStringLiteral("Release Notes — Hoplin Desktop"), QSize(580, 480), true);
    window->setObjectName(QStringLiteral("releaseNotesWindow"));
    auto *view = new QPlainTextEdit;
    view->setObjectName(QStringLiteral("releaseNotesText"));
    view->setReadOnly(true);
    view->setPlainText(m_text);
    view->setFont(theme::font(12));
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setFrameShape(QFrame::NoFrame);
    view->document()->setDocumentMargin(14);
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, QColor::fromRgbF(0.98f, 0.98f, 0.97f));
    palette.setColor(QPalette::Text, QColor::fromRgbF(0.1f, 0.1f, 0.1f));
    view->setPalette(palette);
    auto *layout = new QVBoxLayout(window);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addWidget(view);
    return window;
}

} // namespace hoplin
