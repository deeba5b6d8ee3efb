#pragma once

// Helpers for tests and benchmarks that drive a real web page.

#include "TestSupport.h"

#include <QFile>
#include <QWebEnginePage>
#include <QDataStream>
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

// A 16-bit stereo 48 kHz WAV with a 440 Hz sine of `amplitude` (0..1) lasting `seconds`.
inline bool writeWav(const QString &path, double seconds, double amplitude = 0.5)
{
    const qint64 frames = qint64(seconds * 48000);
    const auto dataBytes = quint32(frames * 4);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + dataBytes);
    out.writeRawData("WAVEfmt ", 8);
    // PCM, 2 channels, rate, bytes per second, bytes per frame, bits per sample.
    out << quint32(16) << quint16(1) << quint16(2) << quint32(48000) << quint32(48000 * 4) << quint16(4) << quint16(16);
    out.writeRawData("data", 4);
    out << dataBytes;
    for (qint64 i = 0; i < frames; ++i) {
        const auto sample = qint16(std::lround(amplitude * 32767 * std::sin(2 * M_PI * 440 * double(i) / 48000)));
        out << sample << sample;
    }
    return out.status() == QDataStream::Ok && file.flush();
}

} // namespace hoplin::test
