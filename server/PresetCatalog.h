#pragma once

#include <QJsonObject>
#include <optional>
#include <string>
#include <vector>

namespace hoplin::server {

struct Preset {
    std::string id;
    std::string name;
    std::string description;
    std::string suffix;
    std::string outputExt;
    std::string kind; // "video", "audio" or "normalise"
    std::optional<int> maxChannels;
    std::string command; // ffmpeg template using only {input} and {output_base}
    std::string hint;
    std::string summary;
};

const std::vector<Preset> &presetCatalog();
QJsonObject presetsPayload();

} // namespace hoplin::server
