#include "Records.h"

#include "Json.h"

#include <QJsonArray>

namespace hoplin {

Session Session::fromJson(const JsonReader &json)
{
    return Session{
        json.string(QStringLiteral("access_token")),    json.string(QStringLiteral("refresh_token")),
        json.string(QStringLiteral("installation_id")), json.string(QStringLiteral("client_id")),
        json.string(QStringLiteral("session_id")),
    };
}

QJsonObject Session::toJson() const
{
    return {
        {QStringLiteral("access_token"), accessToken},       {QStringLiteral("refresh_token"), refreshToken},
        {QStringLiteral("installation_id"), installationId}, {QStringLiteral("client_id"), clientId},
        {QStringLiteral("session_id"), sessionId},
    };
}

Preset Preset::fromJson(const JsonReader &json)
{
    Preset preset;
    preset.id = json.string(QStringLiteral("id"));
    preset.name = json.string(QStringLiteral("name"));
    preset.description = json.string(QStringLiteral("description"));
    preset.suffix = json.string(QStringLiteral("suffix"));
    preset.outputExt = json.string(QStringLiteral("output_ext"));
    preset.kind = json.string(QStringLiteral("kind"));
    preset.maxChannels = json.optionalInteger(QStringLiteral("max_channels"));
    preset.command = json.string(QStringLiteral("command"));
    preset.hint = json.optionalString(QStringLiteral("hint"));
    preset.summary = json.optionalString(QStringLiteral("summary"));
    return preset;
}

QJsonObject Preset::toJson() const
{
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("description"), description},
        {QStringLiteral("suffix"), suffix},
        {QStringLiteral("output_ext"), outputExt},
        {QStringLiteral("kind"), kind},
        {QStringLiteral("command"), command},
    };
    if (maxChannels)
        object.insert(QStringLiteral("max_channels"), *maxChannels);
    if (hint)
        object.insert(QStringLiteral("hint"), *hint);
    if (summary)
        object.insert(QStringLiteral("summary"), *summary);
    return object;
}

PresetsPayload PresetsPayload::fromJson(const JsonReader &json)
{
    PresetsPayload payload;
    payload.version = json.integer(QStringLiteral("version"));
    payload.generatedAt = json.string(QStringLiteral("generated_at"));
    payload.note = json.string(QStringLiteral("note"));
    payload.presets = json.list(QStringLiteral("presets"), &Preset::fromJson);
    return payload;
}

} // namespace hoplin
