#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace hoplin {

// Base of every error the application throws: a domain, a small code chosen by the raising
// operation, and the description the user sees.
class Error : public std::exception {
public:
    Error(QString domain, int code, QString description)
        : m_domain(std::move(domain))
        , m_code(code)
        , m_description(std::move(description))
        , m_what(m_description.toUtf8())
    {
    }

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    QString m_domain;
    int m_code;
    QString m_description;
    QByteArray m_what;
};

// Errors raised by the application's own operations.
inline Error appError(int code, const QString &description)
{
    return Error(QStringLiteral("Hoplin"), code, description);
}

// The request never produced an HTTP answer (no connection, time-out, cancelled).
class TransportError : public Error {
public:
    TransportError(int networkErrorCode, const QString &description)
        : Error(QStringLiteral("Network"), networkErrorCode, description)
    {
    }
};

} // namespace hoplin
