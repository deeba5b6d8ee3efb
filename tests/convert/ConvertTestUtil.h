#pragma once

#include "TestSupport.h"
#include "convert/ConvertRunner.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

// Helpers shared by the Convert tests: real media made by the real ffmpeg, and small executable
// scripts that stand in for it.
namespace hoplin::test {

// A shell script at `path` that stands in for a program; returns the path.
inline QString stub(const QString &path, const QByteArray &body)
{
    const auto executable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup;
    if (!QFile::setPermissions(writeFile(path, "#!/bin/sh\n" + body), executable))
        qFatal("cannot make %s executable", qPrintable(path));
    return path;
}

inline const QString realFFmpeg = QStringLiteral("/usr/bin/ffmpeg");

// ffmpeg's description of `path`: codecs, rate, channel layout, duration.
inline QString describeAudio(const QString &path)
{
    QProcess process;
    process.start(realFFmpeg, {"-hide_banner", "-i", path});
    process.waitForFinished(30000);
    return QString::fromUtf8(process.readAllStandardError());
}

inline QStringList entries(const QString &directory)
{
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The usual conversion of a test: the input to 16-bit PCM under the output base.
inline const QString pcmCommand =
    QStringLiteral("ffmpeg -hide_banner -nostdin -y -i {input} -c:a pcm_s16le {output_base}.wav");

// A ".wav" audio preset with the suffix "_conv" running `command`.
inline Preset wavPreset(const QString &command = pcmCommand, const QString &id = QStringLiteral("wav"))
{
    Preset preset;
    preset.id = id;
    preset.name = id;
    preset.kind = QStringLiteral("audio");
    preset.command = command;
    preset.suffix = QStringLiteral("_conv");
    preset.outputExt = QStringLiteral(".wav");
    return preset;
}

// Runs `runner` over its queue with `ffmpeg` and waits for the run to end.
inline bool runToEnd(ConvertRunner &runner, const QList<Preset> &presets, const QString &ffmpeg = realFFmpeg,
                     SessionStore *store = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    runner.run(presets, ffmpeg, store);
    return waitUntil([&] { return runner.runState() == ConvertRunner::RunState::Idle; }, timeout);
}

// Queues `input` (a file or folder) for `preset`, runs the real ffmpeg over it and returns the
// first item as it ended (an empty item when nothing was queued).
inline QueueItem convertWith(const QString &input, const Preset &preset = wavPreset())
{
    ConvertRunner runner;
    runner.queue({input}, preset.id);
    if (runner.items().isEmpty())
        return {};
    if (!runToEnd(runner, {preset}))
        qFatal("the conversion did not end");
    return runner.items().first();
}

} // namespace hoplin::test
