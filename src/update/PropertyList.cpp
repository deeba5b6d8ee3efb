#include "PropertyList.h"

#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace hoplin {

namespace {

struct Malformed {};

QVariant readValue(QXmlStreamReader &xml);

// Reads the children of the element the reader stands on, until its end tag.
QVariantList readElements(QXmlStreamReader &xml)
{
    QVariantList values;
    while (xml.readNextStartElement())
        values << readValue(xml);
    if (xml.hasError())
        throw Malformed{};
    return values;
}

QVariant readValue(QXmlStreamReader &xml)
{
    const auto name = xml.name();
    if (name == QLatin1String("dict")) {
        QVariantMap map;
        while (xml.readNextStartElement()) {
            if (xml.name() != QLatin1String("key"))
                throw Malformed{};
            const QString key = xml.readElementText();
            if (!xml.readNextStartElement())
                throw Malformed{};
            map.insert(key, readValue(xml));
        }
        if (xml.hasError())
            throw Malformed{};
        return map;
    }
    if (name == QLatin1String("array"))
        return readElements(xml);
    if (name == QLatin1String("true") || name == QLatin1String("false")) {
        const bool value = name == QLatin1String("true");
        xml.skipCurrentElement();
        return value;
    }
    const QString text = xml.readElementText();
    if (xml.hasError())
        throw Malformed{};
    if (name == QLatin1String("string") || name == QLatin1String("date"))
        return text;
    if (name == QLatin1String("integer")) {
        bool ok = false;
        const qlonglong value = text.trimmed().toLongLong(&ok);
        if (!ok)
            throw Malformed{};
        return value;
    }
    if (name == QLatin1String("real")) {
        bool ok = false;
        const double value = text.trimmed().toDouble(&ok);
        if (!ok)
            throw Malformed{};
        return value;
    }
    if (name == QLatin1String("data"))
        return QByteArray::fromBase64(text.toLatin1());
    throw Malformed{};
}

} // namespace

std::optional<QVariant> parsePropertyList(const QByteArray &xmlText)
{
    QXmlStreamReader xml(xmlText);
    try {
        if (!xml.readNextStartElement() || xml.name() != QLatin1String("plist"))
            return std::nullopt;
        const QVariantList values = readElements(xml);
        if (values.size() != 1)
            return std::nullopt;
        return values.first();
    } catch (const Malformed &) {
        return std::nullopt;
    }
}

QByteArray writePropertyList(const QVariantMap &dictionary)
{
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("plist"));
    xml.writeAttribute(QStringLiteral("version"), QStringLiteral("1.0"));
    xml.writeStartElement(QStringLiteral("dict"));
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) {
        xml.writeTextElement(QStringLiteral("key"), it.key());
        xml.writeTextElement(QStringLiteral("string"), it.value().toString());
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

} // namespace hoplin
