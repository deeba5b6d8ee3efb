#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

namespace hoplin {

class JsonReader;

// A signed-in session as the service issues it.
struct Session {
    QString accessToken;
    QString refreshToken;
    QString installationId;
    QString clientId;
    QString sessionId;

    static Session fromJson(const JsonReader &json);
    QJsonObject toJson() const;
    bool operator==(const Session &) const = default;
};

// One conversion script delivered by the service.
struct Preset {
    QString id;
    QString name;
    QString description;
    QString suffix;
    QString outputExt;
    QString kind;
    std::optional<qint64> maxChannels;
    QString command;
    std::optional<QString> hint;
    std::optional<QString> summary;

    static Preset fromJson(const JsonReader &json);
    QJsonObject toJson() const;
    bool operator==(const Preset &) const = default;
};

struct PresetsPayload {
    qint64 version = 0;
    QString generatedAt;
    QString note;
    QList<Preset> presets;

    static PresetsPayload fromJson(const JsonReader &json);
    bool operator==(const PresetsPayload &) const = default;
};

} // namespace hoplin
