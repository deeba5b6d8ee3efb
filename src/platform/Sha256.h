#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

namespace hoplin {

// Incremental SHA-256 through OpenSSL: several times faster than QCryptographicHash here, which
// matters for the FFmpeg archive and update images.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qsizetype size);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // 64 lower-case hexadecimal digits; the object is spent afterwards.
    QString hexDigest();

    static QString ofData(const QByteArray &data);
    // Digest of a file's bytes, or an empty string when it cannot be read.
    static QString ofFile(const QString &path);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

} // namespace hoplin
