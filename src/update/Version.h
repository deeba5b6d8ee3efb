#pragma once

#include <QString>
#include <compare>
#include <optional>

namespace hoplin {

// A release number of up to three dotted parts; missing parts count as 0, so "2" equals "2.0.0".
struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;

    // None unless the text is one to three non-empty decimal parts ("+1" is accepted, "-1" is not).
    static std::optional<Version> parse(const QString &text);
    QString toString() const;

    auto operator<=>(const Version &) const = default;
};

// Whether a release (version, build) comes after the installed one: a greater version, or the same
// version with a greater build. The build alone never makes an older version newer.
bool isNewerRelease(const Version &version, int build, const Version &installed, int installedBuild);

} // namespace hoplin
