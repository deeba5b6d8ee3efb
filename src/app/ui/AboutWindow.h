#pragma once

#include "ReusableWindow.h"

#include <QIcon>
#include <QString>

namespace hoplin {

// The application's icon (our own SVG, compiled in); the window icon of every window.
QIcon appIcon();

// The one About window of the process, created on first use and hidden when closed.
class AboutWindowController : public windows::WindowController {
    Q_OBJECT
public:
    static AboutWindowController &shared();

private:
    AboutWindowController() = default;
    QWidget *build() override;
};

// The one release-notes window; the notes are read once, when the controller is created.
class ReleaseNotesWindowController : public windows::WindowController {
    Q_OBJECT
public:
    static ReleaseNotesWindowController &shared();
    QString text() const { return m_text; }

    // "CHANGELOG.md" in `resourceDirectory`, or the note that this build has none.
    static QString loadChangeLog(const QString &resourceDirectory);

private:
    ReleaseNotesWindowController();
    QWidget *build() override;
    QString m_text;
};

} // namespace hoplin
