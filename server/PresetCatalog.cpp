#include "PresetCatalog.h"

#include <QJsonArray>

namespace hoplin::server {

namespace {

constexpr int kCatalogVersion = 7;
constexpr const char *kGeneratedAt = "2026-11-30T09:00:00Z";

// Every template is a plain word list with no quoting, so any shell-like tokeniser splits it the
// same way. The app substitutes {input} and {output_base} after splitting, so paths with spaces
// stay single arguments. loudnorm resamples to 192 kHz internally, hence the explicit -ar 48000.
// Templates keep the input's channel layout; max_channels tells the app when it must downmix.
const std::vector<Preset> kPresets = {
    {"h264-mp4", "H.264 MP4", "Widely compatible H.264 video with AAC audio, ready for streaming.", "_h264",
     ".mp4", "video", std::nullopt,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:v:0 -map 0:a:0? -c:v libx264 -preset medium -crf 20 "
     "-pix_fmt yuv420p -c:a aac -b:a 192k -movflags +faststart {output_base}.mp4",
     "Good default for sharing and uploading.", "H.264 CRF 20, AAC 192k, MP4"},
    {"hevc-mp4", "HEVC MP4", "H.265 video at roughly half the size of H.264 for the same quality.", "_hevc",
     ".mp4", "video", std::nullopt,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:v:0 -map 0:a:0? -c:v libx265 -preset medium -crf 24 "
     "-pix_fmt yuv420p -tag:v hvc1 -x265-params log-level=error -c:a aac -b:a 192k -movflags +faststart "
     "{output_base}.mp4",
     "Slower to encode; older players may not support it.", "HEVC CRF 24, AAC 192k, MP4"},
    {"prores-mov", "ProRes 422 HQ", "Edit-friendly ProRes 422 HQ with uncompressed PCM audio.", "_prores",
     ".mov", "video", std::nullopt,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:v:0 -map 0:a:0? -c:v prores_ks -profile:v 3 "
     "-pix_fmt yuv422p10le -c:a pcm_s16le {output_base}.mov",
     "Large files; meant for editing, not delivery.", "ProRes 422 HQ, PCM 16-bit, MOV"},
    {"m4a-aac-256", "M4A (AAC 256k)", "Audio only, AAC at 256 kb/s in an M4A container.", "", ".m4a", "audio",
     std::nullopt,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:a:0 -vn -c:a aac -b:a 256k -movflags +faststart "
     "{output_base}.m4a",
     "Drops any video stream.", "AAC 256k, M4A"},
    {"normalise-14-lufs", "Normalise to -14 LUFS",
     "Loudness normalised for streaming platforms, true peak -1 dBTP.", "_-14LUFS", ".wav", "normalise", 2,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:a:0 -vn -af loudnorm=I=-14:TP=-1:LRA=11 -ar 48000 "
     "-c:a pcm_s24le {output_base}.wav",
     "Inputs with more than two channels are downmixed to stereo.", "-14 LUFS, -1 dBTP, WAV 24-bit 48 kHz"},
    {"normalise-16-lufs", "Normalise to -16 LUFS", "Loudness normalised for podcasts, true peak -1 dBTP.",
     "_-16LUFS", ".wav", "normalise", 2,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:a:0 -vn -af loudnorm=I=-16:TP=-1:LRA=11 -ar 48000 "
     "-c:a pcm_s24le {output_base}.wav",
     "Inputs with more than two channels are downmixed to stereo.", "-16 LUFS, -1 dBTP, WAV 24-bit 48 kHz"},
    {"normalise-23-lufs", "Normalise to -23 LUFS", "Broadcast loudness (EBU R128), true peak -1 dBTP.",
     "_-23LUFS", ".wav", "normalise", std::nullopt,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:a:0 -vn -af loudnorm=I=-23:TP=-1:LRA=11 -ar 48000 "
     "-c:a pcm_s24le {output_base}.wav",
     "Keeps surround layouts.", "-23 LUFS, -1 dBTP, WAV 24-bit 48 kHz"},
    {"normalise-video-14lkfs", "Video, audio to -14 LKFS",
     "Copies the video untouched and normalises its audio.", "_-14LKFS", ".mp4", "video", 2,
     "ffmpeg -hide_banner -nostdin -y -i {input} -map 0:v:0 -map 0:a:0 -c:v copy -af "
     "loudnorm=I=-14:TP=-1:LRA=11 "
     "-ar 48000 -c:a aac -b:a 256k -movflags +faststart {output_base}.mp4",
     "The video stream is not re-encoded.", "Video copy, AAC 256k at -14 LKFS, MP4"},
};

QJsonObject presetJson(const Preset &preset) {
    QJsonObject object{
        {QStringLiteral("id"), QString::fromStdString(preset.id)},
        {QStringLiteral("name"), QString::fromStdString(preset.name)},
        {QStringLiteral("description"), QString::fromStdString(preset.description)},
        {QStringLiteral("suffix"), QString::fromStdString(preset.suffix)},
        {QStringLiteral("output_ext"), QString::fromStdString(preset.outputExt)},
        {QStringLiteral("kind"), QString::fromStdString(preset.kind)},
        {QStringLiteral("command"), QString::fromStdString(preset.command)},
    };
    object.insert(QStringLiteral("max_channels"),
                  preset.maxChannels ? QJsonValue(*preset.maxChannels) : QJsonValue(QJsonValue::Null));
    if (!preset.hint.empty()) object.insert(QStringLiteral("hint"), QString::fromStdString(preset.hint));
    if (!preset.summary.empty())
        object.insert(QStringLiteral("summary"), QString::fromStdString(preset.summary));
    return object;
}

} // namespace

const std::vector<Preset> &presetCatalog() {
    return kPresets;
}

QJsonObject presetsPayload() {
    QJsonArray presets;
    for (const Preset &preset : kPresets)
        presets.append(presetJson(preset));
    return {
        {QStringLiteral("version"), kCatalogVersion},
        {QStringLiteral("generated_at"), QLatin1String(kGeneratedAt)},
        {QStringLiteral("note"), QStringLiteral("Outputs are written next to the source file.")},
        {QStringLiteral("presets"), presets},
    };
}

} // namespace hoplin::server
