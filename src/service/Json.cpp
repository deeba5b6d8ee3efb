#include "Json.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace hoplin {

JsonReader::JsonReader(QJsonObject object, QString path)
    : m_object(std::move(object))
    , m_path(std::move(path))
{
}

JsonReader JsonReader::parse(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(
            QStringLiteral("the data is not valid JSON (%1 at offset %2)").arg(error.errorString(), QString::number(error.offset)));
    if (!document.isObject())
        throw DecodingError(QStringLiteral("expected a JSON object at the top level but found %1")
                                .arg(document.isArray() ? QStringLiteral("an array") : QStringLiteral("a value")));
    return JsonReader(document.object());
}

QString JsonReader::typeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

QString JsonReader::keyPath(const QString &key) const
{
    const QString sent = m_sentKeys.value(key, key);
    return m_path.isEmpty() ? sent : m_path + QLatin1Char('.') + sent;
}

QString JsonReader::convertFromSnakeCase(const QString &key)
{
    if (!key.contains(QLatin1Char('_')))
        return key;
    qsizetype first = 0;
    while (first < key.size() && key[first] == u'_')
        ++first;
    if (first == key.size())
        return key; // only underscores
    qsizetype last = key.size() - 1;
    while (last > first && key[last] == u'_')
        --last;
    const QStringList words = key.mid(first, last - first + 1).split(QLatin1Char('_'), Qt::SkipEmptyParts);
    if (words.size() == 1)
        return key;
    QString joined = words.first();
    for (qsizetype i = 1; i < words.size(); ++i)
        joined += words[i].left(1).toUpper() + words[i].mid(1).toLower();
    return key.left(first) + joined + key.mid(last + 1);
}

JsonReader JsonReader::convertingSnakeCase() const
{
    JsonReader converted(QJsonObject(), m_path);
    // QJsonObject iterates in key order, so when two sent keys convert to the same name the
    // outcome is fixed: the first in that order wins.
    for (auto it = m_object.begin(); it != m_object.end(); ++it) {
        const QString name = convertFromSnakeCase(it.key());
        if (converted.m_object.contains(name))
            continue;
        converted.m_object.insert(name, it.value());
        converted.m_sentKeys.insert(name, it.key());
    }
    return converted;
}

DecodingError JsonReader::mismatch(const QString &path, const QString &expected, const QJsonValue &found)
{
    return DecodingError(QStringLiteral("key \"%1\" expected %2 but found %3").arg(path, expected, typeName(found)));
}

bool JsonReader::has(const QString &key) const
{
    const QJsonValue value = m_object.value(key);
    return !value.isUndefined() && !value.isNull();
}

QJsonValue JsonReader::raw(const QString &key) const
{
    return m_object.value(key);
}

QJsonValue JsonReader::required(const QString &key) const
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined())
        throw DecodingError(QStringLiteral("key \"%1\" not found").arg(keyPath(key)));
    return value;
}

std::optional<qint64> exactInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    // toInteger() keeps integers the parser stored as such exact and converts whole doubles in
    // range; anything else gives the default, so two different defaults tell a miss apart.
    const qint64 low = value.toInteger(0);
    if (low != value.toInteger(1))
        return std::nullopt;
    return low;
}

QString JsonReader::string(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isString())
        throw mismatch(keyPath(key), QStringLiteral("a string"), value);
    return value.toString();
}

std::optional<QString> JsonReader::optionalString(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return string(key);
}

qint64 JsonReader::integer(const QString &key) const
{
    const QJsonValue value = required(key);
    const auto result = exactInteger(value);
    if (!result)
        throw mismatch(keyPath(key), QStringLiteral("an integer"), value);
    return *result;
}

std::optional<qint64> JsonReader::optionalInteger(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return integer(key);
}

double JsonReader::number(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isDouble())
        throw mismatch(keyPath(key), QStringLiteral("a number"), value);
    return value.toDouble();
}

std::optional<double> JsonReader::optionalNumber(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return number(key);
}

bool JsonReader::boolean(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isBool())
        throw mismatch(keyPath(key), QStringLiteral("a boolean"), value);
    return value.toBool();
}

std::optional<bool> JsonReader::optionalBoolean(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return boolean(key);
}

JsonReader JsonReader::object(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isObject())
        throw mismatch(keyPath(key), QStringLiteral("an object"), value);
    return JsonReader(value.toObject(), keyPath(key));
}

std::optional<JsonReader> JsonReader::optionalObject(const QString &key) const
{
    if (!has(key))
        return std::nullopt;
    return object(key);
}

QJsonArray JsonReader::array(const QString &key) const
{
    const QJsonValue value = required(key);
    if (!value.isArray())
        throw mismatch(keyPath(key), QStringLiteral("an array"), value);
    return value.toArray();
}

} // namespace hoplin
