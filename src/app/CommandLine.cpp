#include "CommandLine.h"

#include "platform/Settings.h"
#include "version.h"

#include <QDir>

namespace hoplin {

namespace {

const char *typeName(Settings::Type type)
{
    switch (type) {
    case Settings::Type::String:
        return "text";
    case Settings::Type::Boolean:
        return "YES/NO";
    case Settings::Type::Integer:
        return "number";
    case Settings::Type::Date:
        return "date";
    }
    return "";
}

} // namespace

CommandLine CommandLine::parse(const QStringList &arguments, const QString &workingDirectory)
{
    CommandLine line;
    const QDir here(workingDirectory);
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &word = arguments[i];
        if (word == u"--help" || word == u"-h") {
            line.action = Action::Help;
            return line;
        }
        if (word == u"--version") {
            line.action = Action::Version;
            return line;
        }
        if (Settings::isSwitchName(word) && i + 1 < arguments.size()) {
            line.switches << word << arguments[i + 1];
            ++i;
            continue;
        }
        // What a file manager passes: paths for %F, file URLs for %U.
        if (word.startsWith(u"file:")) {
            const QUrl url(word);
            if (url.isLocalFile())
                line.files << url;
        } else if (!word.startsWith(u'-')) {
            line.files << QUrl::fromLocalFile(QDir::cleanPath(here.absoluteFilePath(word)));
        }
    }
    return line;
}

QString CommandLine::helpText()
{
    QString text = QStringLiteral("Usage: hoplin-desktop [FILE…] [-key value…]\n\n"
                                  "Opens the files in the running Hoplin Desktop (starting it when none runs), as if\n"
                                  "they were dropped on its window. Any setting can be given for this run only as\n"
                                  "-key value; it is not stored.\n\n"
                                  "  --help       show this text\n"
                                  "  --version    show the version and build\n\nSettings:\n");
    for (const Settings::KeyInfo &info : Settings::knownKeys())
        text += QStringLiteral("  -%1 <%2>\n").arg(QLatin1String(info.name), QLatin1String(typeName(info.type)));
    return text;
}

QString CommandLine::versionText()
{
    return QStringLiteral("%1 %2 (build %3)")
        .arg(QLatin1String(version::kAppName), QLatin1String(version::kVersion))
        .arg(version::kBuild);
}

} // namespace hoplin
