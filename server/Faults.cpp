#include "Faults.h"

#include <QJsonDocument>
#include <QJsonValue>
#include <cmath>

namespace hoplin::server {

namespace {

constexpr int kMaxDelayMs = 120000;

std::vector<std::string> segments(const std::string &path) {
    std::vector<std::string> out;
    std::string current;
    for (char c : path) {
        if (c == '/') {
            out.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    out.push_back(current);
    return out;
}

std::optional<qint64> integral(const QJsonValue &value) {
    if (!value.isDouble()) return std::nullopt;
    const double d = value.toDouble();
    if (!std::isfinite(d) || std::trunc(d) != d || std::fabs(d) > 9007199254740992.0) return std::nullopt;
    return static_cast<qint64>(d);
}

} // namespace

bool pathMatches(const std::string &pattern, const std::string &path) {
    const auto want = segments(pattern);
    const auto got = segments(path);
    if (want.size() != got.size()) return false;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (want[i] == "*" ? got[i].empty() : want[i] != got[i]) return false;
    }
    return true;
}

std::variant<Fault, std::string> parseFault(const QJsonObject &object) {
    Fault fault;

    const QJsonValue route = object.value(QStringLiteral("route"));
    if (!route.isString()) return std::string("\"route\" must be a string such as \"GET /v1/presets\".");
    const QStringList parts = route.toString().simplified().split(QLatin1Char(' '));
    if (parts.size() != 2 || !parts[1].startsWith(QLatin1Char('/')))
        return std::string("\"route\" must be a method and a path, e.g. \"POST /v1/jobs/*/cancel\".");
    fault.method = parts[0].toUpper().toStdString();
    fault.path = parts[1].toStdString();

    if (object.contains(QStringLiteral("status")) && !object.value(QStringLiteral("status")).isNull()) {
        const auto status = integral(object.value(QStringLiteral("status")));
        if (!status || *status < 100 || *status > 599)
            return std::string("\"status\" must be an HTTP status code between 100 and 599.");
        fault.status = static_cast<int>(*status);
    }

    const QJsonValue body = object.value(QStringLiteral("body"));
    if (!body.isUndefined() && !body.isNull()) {
        if (!body.isString()) return std::string("\"body\" must be a string.");
        fault.body = body.toString().toStdString();
    }
    // Bodies that are not text (invalid UTF-8, binary) travel base64-encoded.
    const QJsonValue body64 = object.value(QStringLiteral("body_base64"));
    if (!body64.isUndefined() && !body64.isNull()) {
        if (!body64.isString()) return std::string("\"body_base64\" must be a string.");
        fault.body = QByteArray::fromBase64(body64.toString().toLatin1()).toStdString();
    }

    const QJsonValue contentType = object.value(QStringLiteral("content_type"));
    if (!contentType.isUndefined() && !contentType.isNull()) {
        if (!contentType.isString()) return std::string("\"content_type\" must be a string.");
        fault.contentType = contentType.toString().toStdString();
    } else if (!fault.body.empty()) {
        QJsonParseError error;
        QJsonDocument::fromJson(QByteArray::fromStdString(fault.body), &error);
        fault.contentType = error.error == QJsonParseError::NoError ? "application/json" : "text/plain";
    }

    if (object.contains(QStringLiteral("delay_ms"))) {
        const auto delay = integral(object.value(QStringLiteral("delay_ms")));
        if (!delay || *delay < 0 || *delay > kMaxDelayMs)
            return std::string("\"delay_ms\" must be an integer between 0 and 120000.");
        fault.delayMs = static_cast<int>(*delay);
    }

    if (object.contains(QStringLiteral("count"))) {
        const auto count = integral(object.value(QStringLiteral("count")));
        if (!count || *count < 1 || *count > 1000000)
            return std::string("\"count\" must be a positive integer.");
        fault.remaining = static_cast<int>(*count);
    }

    const QJsonValue close = object.value(QStringLiteral("close"));
    if (!close.isUndefined() && !close.isNull()) {
        if (!close.isBool()) return std::string("\"close\" must be a boolean.");
        fault.close = close.toBool();
    }

    if (object.contains(QStringLiteral("cut_after"))) {
        const auto cut = integral(object.value(QStringLiteral("cut_after")));
        if (!cut || *cut < 0) return std::string("\"cut_after\" must be a non-negative integer.");
        fault.cutAfter = *cut;
    }
    if (object.contains(QStringLiteral("stall_ms"))) {
        const auto stall = integral(object.value(QStringLiteral("stall_ms")));
        if (!stall || *stall < 0 || *stall > kMaxDelayMs)
            return std::string("\"stall_ms\" must be an integer between 0 and 120000.");
        fault.stallMs = static_cast<int>(*stall);
    }
    if (object.contains(QStringLiteral("fill_bytes"))) {
        const auto fill = integral(object.value(QStringLiteral("fill_bytes")));
        if (!fill || *fill < 1) return std::string("\"fill_bytes\" must be a positive integer.");
        fault.fillBytes = *fill;
    }
    const QJsonValue location = object.value(QStringLiteral("location"));
    if (!location.isUndefined() && !location.isNull()) {
        if (!location.isString()) return std::string("\"location\" must be a string.");
        fault.location = location.toString().toStdString();
    }
    if ((fault.cutAfter || fault.stallMs > 0 || !fault.location.empty() || fault.fillBytes) && !fault.status)
        return std::string("\"cut_after\", \"stall_ms\", \"location\" and \"fill_bytes\" need a \"status\".");
    if (fault.stallMs > 0 && !fault.cutAfter) fault.cutAfter = 0;

    if (!fault.answers() && fault.delayMs == 0)
        return std::string("A fault needs at least one of \"status\", \"delay_ms\" or \"close\".");
    return fault;
}

QJsonObject Fault::toJson() const {
    QJsonObject object{
        {QStringLiteral("id"), id},
        {QStringLiteral("route"), QString::fromStdString(method + ' ' + path)},
        {QStringLiteral("body"), QString::fromStdString(body)},
        {QStringLiteral("content_type"), QString::fromStdString(contentType)},
        {QStringLiteral("delay_ms"), delayMs},
        {QStringLiteral("count"), remaining},
        {QStringLiteral("close"), close},
        {QStringLiteral("stall_ms"), stallMs},
        {QStringLiteral("location"), QString::fromStdString(location)},
    };
    object.insert(QStringLiteral("status"), status ? QJsonValue(*status) : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("cut_after"), cutAfter ? QJsonValue(*cutAfter) : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("fill_bytes"), fillBytes ? QJsonValue(*fillBytes) : QJsonValue(QJsonValue::Null));
    return object;
}

int FaultTable::add(Fault fault) {
    fault.id = m_nextId++;
    m_faults.push_back(std::move(fault));
    return m_faults.back().id;
}

std::optional<Fault> FaultTable::take(const std::string &method, const std::string &path) {
    for (auto it = m_faults.begin(); it != m_faults.end(); ++it) {
        if (it->method != method || !pathMatches(it->path, path)) continue;
        Fault fault = *it;
        if (--it->remaining <= 0) m_faults.erase(it);
        return fault;
    }
    return std::nullopt;
}

QJsonArray FaultTable::toJson() const {
    QJsonArray out;
    for (const Fault &fault : m_faults)
        out.append(fault.toJson());
    return out;
}

} // namespace hoplin::server
