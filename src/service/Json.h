#pragma once

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <exception>
#include <optional>

namespace hoplin {

// A JSON document that does not have the expected shape. `detail` names the offending key and
// what was wrong with it.
class DecodingError : public std::exception {
public:
    explicit DecodingError(QString detail)
        : m_detail(std::move(detail))
        , m_what(m_detail.toUtf8())
    {
    }
    const QString &detail() const { return m_detail; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_detail;
    QByteArray m_what;
};

// Strict reading of a JSON object: required keys must be present with the right type, optional
// ones may be absent or null, unknown keys are ignored. Every failure throws DecodingError
// naming the key by its path from the document root ("presets[2].output_ext").
class JsonReader {
public:
    explicit JsonReader(QJsonObject object, QString path = {});

    // The same object with every key converted from snake case ("lra_low_lufs" to "lraLowLufs",
    // see convertFromSnakeCase); failures still name the keys as they were sent.
    JsonReader convertingSnakeCase() const;
    // A key without an underscore stays as it is; otherwise leading and trailing underscores stay,
    // the first word stays, and each further word is capitalised ("bit_rate_BPS" to "bitRateBps").
    static QString convertFromSnakeCase(const QString &key);

    // Parses bytes that must hold a JSON object.
    static JsonReader parse(const QByteArray &bytes);
    static QString typeName(const QJsonValue &value);

    const QJsonObject &object() const { return m_object; }
    const QString &path() const { return m_path; }
    bool has(const QString &key) const; // present and not null
    QJsonValue raw(const QString &key) const;

    QString string(const QString &key) const;
    std::optional<QString> optionalString(const QString &key) const;
    qint64 integer(const QString &key) const;
    std::optional<qint64> optionalInteger(const QString &key) const;
    double number(const QString &key) const;
    std::optional<double> optionalNumber(const QString &key) const;
    bool boolean(const QString &key) const;
    std::optional<bool> optionalBoolean(const QString &key) const;
    JsonReader object(const QString &key) const;
    std::optional<JsonReader> optionalObject(const QString &key) const;
    QJsonArray array(const QString &key) const;

    // Reads an array of objects, each through `read`.
    template <typename Read>
    auto list(const QString &key, Read read) const -> QList<decltype(read(std::declval<JsonReader>()))>
    {
        QList<decltype(read(std::declval<JsonReader>()))> result;
        const QJsonArray items = array(key);
        for (qsizetype i = 0; i < items.size(); ++i) {
            const QString itemPath = keyPath(key) + QStringLiteral("[%1]").arg(i);
            if (!items[i].isObject())
                throw mismatch(itemPath, QStringLiteral("an object"), items[i]);
            result.append(read(JsonReader(items[i].toObject(), itemPath)));
        }
        return result;
    }

    QString keyPath(const QString &key) const;
    static DecodingError mismatch(const QString &path, const QString &expected, const QJsonValue &found);

private:
    QJsonValue required(const QString &key) const;

    QJsonObject m_object;
    QString m_path;
    QHash<QString, QString> m_sentKeys; // converted key -> key as sent, after convertingSnakeCase()
};

// Whole-number reading shared by the strict and the lenient decoders: accepts a JSON number
// without fractional part inside the 64-bit range. Integers written as such are taken exactly,
// also beyond 2^53 where a double would round them.
std::optional<qint64> exactInteger(const QJsonValue &value);

} // namespace hoplin
