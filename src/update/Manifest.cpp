#include "Manifest.h"

#include "Version.h"
#include "service/Error.h"
#include "updateconfig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <cmath>
#include <openssl/evp.h>

namespace hoplin {

namespace {

Error decodingError(const QString &detail)
{
    return appError(4, QStringLiteral("The update description could not be read: %1").arg(detail));
}

// "min_macos" → "minMacos"; a key already in camelCase stays as it is.
QString camelCase(const QString &key)
{
    const QStringList parts = key.split(QLatin1Char('_'));
    if (parts.size() < 2)
        return key;
    QString out = parts.first();
    for (qsizetype i = 1; i < parts.size(); ++i) {
        const QString &part = parts[i];
        if (part.isEmpty())
            continue;
        out += part.left(1).toUpper() + part.mid(1).toLower();
    }
    return out;
}

QString requiredString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        throw decodingError(QStringLiteral("\"%1\" is missing").arg(key));
    if (!value.isString())
        throw decodingError(QStringLiteral("\"%1\" is not text").arg(key));
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        throw decodingError(QStringLiteral("\"%1\" is not text").arg(key));
    return value.toString();
}

int requiredInteger(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined())
        throw decodingError(QStringLiteral("\"%1\" is missing").arg(key));
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || std::trunc(number) != number || std::abs(number) > 2147483647.0)
        throw decodingError(QStringLiteral("\"%1\" is not a whole number").arg(key));
    return int(number);
}

bool isHexDigest(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (QChar c : text) {
        const bool hex = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
                         (c >= QLatin1Char('a') && c <= QLatin1Char('f')) ||
                         (c >= QLatin1Char('A') && c <= QLatin1Char('F'));
        if (!hex)
            return false;
    }
    return true;
}

} // namespace

Manifest Manifest::decode(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw decodingError(parseError.errorString());
    if (!document.isObject())
        throw decodingError(QStringLiteral("not a JSON object"));

    QJsonObject object;
    const QJsonObject raw = document.object();
    for (auto it = raw.begin(); it != raw.end(); ++it)
        object.insert(camelCase(it.key()), it.value());

    Manifest manifest;
    manifest.version = requiredString(object, QStringLiteral("version"));
    manifest.build = requiredInteger(object, QStringLiteral("build"));
    manifest.dmg = requiredString(object, QStringLiteral("dmg"));
    manifest.sha256 = requiredString(object, QStringLiteral("sha256"));
    manifest.notes = optionalString(object, QStringLiteral("notes"));
    manifest.minMacos = optionalString(object, QStringLiteral("minMacos"));
    return manifest;
}

QStringList serviceHostNames()
{
    const QString host = QString::fromLatin1(update::kServiceHost).toLower();
    return {host, QStringLiteral("www.") + host};
}

bool isAllowedDownloadURL(const QUrl &candidate, const QUrl &manifestURL)
{
    if (!candidate.isValid() || candidate.scheme() != QLatin1String("https") || candidate.host().isEmpty())
        return false;
    const QString host = candidate.host().toLower();
    if (host == manifestURL.host().toLower())
        return true;
    return serviceHostNames().contains(host);
}

bool isAllowedDownloadURL(const QString &candidate, const QUrl &manifestURL)
{
    // QUrl lower-cases the scheme, so the written form is checked first.
    if (!candidate.startsWith(QLatin1String("https:")))
        return false;
    const QUrl url(candidate, QUrl::StrictMode);
    return isAllowedDownloadURL(url, manifestURL);
}

bool isManifestWellFormed(const Manifest &manifest, const QUrl &manifestURL)
{
    return Version::parse(manifest.version) && manifest.build >= 1 && isHexDigest(manifest.sha256) &&
           isAllowedDownloadURL(manifest.dmg, manifestURL);
}

bool verifyManifestSignature(const QByteArray &manifestBytes, const QByteArray &signatureBase64,
                             const QString &publicKeyHex)
{
    const QByteArray key = QByteArray::fromHex(publicKeyHex.toLatin1());
    const auto decoded = QByteArray::fromBase64Encoding(signatureBase64.trimmed(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (key.size() != 32 || publicKeyHex.size() != 64 || !decoded || decoded.decoded.size() != 64)
        return false;
    EVP_PKEY *pkey = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr,
                                                 reinterpret_cast<const unsigned char *>(key.constData()), 32);
    if (!pkey)
        return false;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool valid = false;
    if (context && EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1) {
        valid = EVP_DigestVerify(context, reinterpret_cast<const unsigned char *>(decoded.decoded.constData()), 64,
                                 reinterpret_cast<const unsigned char *>(manifestBytes.constData()),
                                 size_t(manifestBytes.size())) == 1;
    }
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(pkey);
    return valid;
}

} // namespace hoplin
