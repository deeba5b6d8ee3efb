#pragma once

// Helpers for tests and benchmarks that drive a real web page.

#include "TestSupport.h"

#include <QFile>
#include <QWebEnginePage>
#include <QtEndian>
#include <cmath>
#include <memory>

namespace hoplin::test {

// Evaluates `script` in the page's main frame and returns its result (invalid on time-out).
inline QVariant evalJs(QWebEnginePage *page, const QString &script,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    struct Result {
        QVariant value;
        bool done = false;
    };
    auto result = std::make_shared<Result>();
    page->runJavaScript(script, [result](const QVariant &value) {
        result->value = value;
        result->done = true;
    });
    waitUntil([&] { return result->done; }, timeout);
    return result->value;
}

// The number of rows in the page's queue table.
inline int queueRows(QWebEnginePage *page)
{
    return evalJs(page, QStringLiteral("document.querySelectorAll('#queue tbody tr').length")).toInt();
}

// A 16-bit stereo 48 kHz WAV with a sine of `amplitude` (0..1) lasting `seconds`.
inline bool writeWav(const QString &path, double seconds, double amplitude = 0.5)
{
    const int rate = 48000;
    const int channels = 2;
    const qint64 frames = qint64(seconds * rate);
    const quint32 dataBytes = quint32(frames * channels * 2);
    QByteArray bytes;
    auto u32 = [&](quint32 v) { v = qToLittleEndian(v); bytes.append(reinterpret_cast<const char *>(&v), 4); };
    auto u16 = [&](quint16 v) { v = qToLittleEndian(v); bytes.append(reinterpret_cast<const char *>(&v), 2); };
    bytes.append("RIFF");
    u32(36 + dataBytes);
    bytes.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(channels);
    u32(rate);
    u32(rate * channels * 2);
    u16(channels * 2);
    u16(16);
    bytes.append("data");
    u32(dataBytes);
    bytes.reserve(bytes.size() + int(dataBytes));
    for (qint64 i = 0; i < frames; ++i) {
        const auto sample = qint16(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 440 * double(i) / rate)));
        for (int c = 0; c < channels; ++c)
            u16(quint16(sample));
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace hoplin::test
