#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace hoplin {

// What a launch asks for: help, the version, or a run with files to open and "-key value"
// settings for this run.
struct CommandLine {
    enum class Action { Run, Help, Version };
    Action action = Action::Run;
    // Files named on the command line (paths made absolute, or file URLs), in order.
    QList<QUrl> files;
    // The "-key value" pairs, as given.
    QStringList switches;

    // `arguments` as in argv, the program first; relative paths are taken against `workingDirectory`.
    static CommandLine parse(const QStringList &arguments, const QString &workingDirectory);

    // The text of --help: usage and every setting that may be given as -key value.
    static QString helpText();
    // "Hoplin Desktop {version} (build {build})".
    static QString versionText();
};

} // namespace hoplin
