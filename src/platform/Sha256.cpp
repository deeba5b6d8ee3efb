#include "Sha256.h"

#include <QFile>
#include <openssl/evp.h>

namespace hoplin {

struct Sha256::Context {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Context() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256()
    : m_context(std::make_unique<Context>())
{
    EVP_DigestInit_ex(m_context->ctx, EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qsizetype size)
{
    EVP_DigestUpdate(m_context->ctx, data, size_t(size));
}

QString Sha256::hexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->ctx, digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

QString Sha256::ofData(const QByteArray &data)
{
    Sha256 hash;
    hash.addData(data);
    return hash.hexDigest();
}

QString Sha256::ofFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    Sha256 hash;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return {};
        if (n == 0)
            break;
        hash.addData(chunk.constData(), n);
    }
    return hash.hexDigest();
}

} // namespace hoplin
