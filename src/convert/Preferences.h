#pragma once

#include <QString>
#include <optional>

namespace hoplin {

enum class ExportLocation { SameAsSource, CustomFolder };

// The Convert settings as the runner and the locator need them. Read afresh on every call, so a
// change in Preferences applies to the next file added.
namespace Preferences {

QString rawValue(ExportLocation location);

ExportLocation exportLocation();

// Where the output of `sourcePath` goes: its own folder, or the custom folder. Nothing when the
// custom folder is not set or is not a folder.
std::optional<QString> exportDirectory(const QString &sourcePath);
// The custom folder alone, whatever the location setting says (one answer for a whole batch).
std::optional<QString> customExportFolder();

// The "ffmpegPathOverride" executable when it is usable, otherwise the located one.
std::optional<QString> effectiveFFmpeg();

// How many files a run converts at once: the "conversionsAtOnce" setting, kept between 1 and the
// number of cores.
int conversionsAtOnce();
int maxConversionsAtOnce();

// Spaces and tabs only: a path may legitimately end in other white space.
QString trimSpacesAndTabs(const QString &text);

} // namespace Preferences
} // namespace hoplin
