#pragma once

#include <QFile>
#include <algorithm>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtEndian>
#include <cmath>
#include <limits>

// Test signals written sample by sample: stepped 1 kHz (or any) sines per channel, as 24-bit PCM
// or 32-bit float WAV, with the channel mask that makes ffmpeg name the layout.
namespace hoplin::test {

struct ToneSegment {
    double seconds = 0;
    QList<double> dbfs; // one level per channel, or one for all; -inf is silence
};

// "20@-23|10@-inf" or "20@-28,-28,-24,-30,-30": seconds, then the peak level of each channel.
inline QList<ToneSegment> parseSegments(const QString &text)
{
    QList<ToneSegment> segments;
    for (const QString &part : text.split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        ToneSegment segment;
        segment.seconds = part.section(QLatin1Char('@'), 0, 0).toDouble();
        for (const QString &level : part.section(QLatin1Char('@'), 1).split(QLatin1Char(',')))
            segment.dbfs.append(level == QLatin1String("-inf") ? -std::numeric_limits<double>::infinity()
                                                                : level.toDouble());
        segments.append(segment);
    }
    return segments;
}

struct ToneFile {
    int rate = 48000;
    QString layout = QStringLiteral("stereo"); // mono, stereo, 5.0 or 5.1
    double frequency = 1000;
    double phaseDegrees = 0;
    bool floatSamples = false; // 32-bit float lets a sample sit exactly at full scale
};

inline int channelsOf(const QString &layout)
{
    return layout == QLatin1String("mono") ? 1 : layout == QLatin1String("5.0") ? 5 : layout == QLatin1String("5.1") ? 6 : 2;
}

inline bool writeToneWav(const QString &path, const ToneFile &tone, const QList<ToneSegment> &segments)
{
    const int channels = channelsOf(tone.layout);
    const int bytesPer = tone.floatSamples ? 4 : 3;
    qint64 frames = 0;
    for (const ToneSegment &s : segments)
        frames += qint64(std::llround(s.seconds * tone.rate));
    const quint32 dataBytes = quint32(frames * channels * bytesPer);
    const quint32 mask = tone.layout == QLatin1String("5.0") ? 0x37 : tone.layout == QLatin1String("5.1") ? 0x3F : 0;

    QByteArray header;
    const auto u16 = [&](quint16 v) { header.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 2); };
    const auto u32 = [&](quint32 v) { header.append(reinterpret_cast<const char *>(&(v = qToLittleEndian(v))), 4); };
    const quint16 format = tone.floatSamples ? 3 : 1;
    const bool extensible = mask != 0;
    header.append("RIFF");
    u32(4 + (8 + (extensible ? 40 : 16)) + 8 + dataBytes);
    header.append("WAVEfmt ");
    u32(extensible ? 40 : 16);
    u16(extensible ? 0xFFFE : format);
    u16(quint16(channels));
    u32(quint32(tone.rate));
    u32(quint32(tone.rate * channels * bytesPer));
    u16(quint16(channels * bytesPer));
    u16(quint16(bytesPer * 8));
    if (extensible) {
        u16(22);
        u16(quint16(bytesPer * 8));
        u32(mask);
        // The sub-format GUID: the format code followed by the fixed tail.
        u16(format);
        header.append("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    }
    header.append("data");
    u32(dataBytes);

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(header) != header.size())
        return false;
    QByteArray block;
    qint64 n = 0;
    const double phase = tone.phaseDegrees * M_PI / 180;
    for (const ToneSegment &s : segments) {
        const qint64 count = qint64(std::llround(s.seconds * tone.rate));
        for (qint64 i = 0; i < count; ++i, ++n) {
            // A 5 ms fade-in: a file that starts on a step rings between its samples, which a
            // true-peak meter rightly reports.
            const qint64 fade = tone.rate / 200;
            const double gain = n < fade ? 0.5 - 0.5 * std::cos(M_PI * double(n) / double(fade)) : 1.0;
            const double wave = gain * std::sin(2 * M_PI * tone.frequency * double(n) / tone.rate + phase);
            for (int c = 0; c < channels; ++c) {
                const double level = s.dbfs.size() == 1 ? s.dbfs[0] : s.dbfs.value(c, -INFINITY);
                const double x = std::isinf(level) ? 0.0 : std::pow(10.0, level / 20) * wave;
                if (tone.floatSamples) {
                    const float f = float(x);
                    block.append(reinterpret_cast<const char *>(&f), 4);
                } else {
                    const qint32 v = qint32(std::lround(std::clamp(x, -1.0, 1.0 - 1.0 / 8388608) * 8388608));
                    const char bytes[3] = {char(v & 0xff), char((v >> 8) & 0xff), char((v >> 16) & 0xff)};
                    block.append(bytes, 3);
                }
            }
            if (block.size() >= (1 << 20)) {
                if (file.write(block) != block.size())
                    return false;
                block.clear();
            }
        }
    }
    return file.write(block) == block.size() && file.flush();
}

} // namespace hoplin::test
