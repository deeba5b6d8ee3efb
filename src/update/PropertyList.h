#pragma once

#include <QByteArray>
#include <QVariant>
#include <optional>

namespace hoplin {

// Reads an XML property list: dict → QVariantMap, array → QVariantList, string/date → QString,
// integer → qlonglong, real → double, true/false → bool, data → QByteArray. None when the text is
// not a well-formed property list.
std::optional<QVariant> parsePropertyList(const QByteArray &xml);

// Writes a dictionary of strings as an XML property list (what the update image carries).
QByteArray writePropertyList(const QVariantMap &dictionary);

} // namespace hoplin
