#pragma once

#include "TruePeak.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace hoplin::server {

// The BS.1770 weight of each channel of an ffmpeg channel layout ("5.1", "stereo", …), in the
// order ffmpeg delivers the samples. An unknown layout falls back to the layout ffmpeg guesses for
// that many channels, else every channel at weight 1. `note` says which weighting was applied.
struct ChannelWeighting {
    std::vector<double> weights;
    std::string note;
};
ChannelWeighting channelWeighting(const std::string &layout, int channels);

// Momentary and short-term loudness every `stepSec` (a multiple of 0.1 s); a point is absent
// while its window is not yet full or holds digital silence. Point i belongs to the window that
// ends at (i + 1) * stepSec.
struct LoudnessHistory {
    double stepSec = 0.1;
    std::vector<std::optional<double>> momentary;
    std::vector<std::optional<double>> shortTerm;
};

// What one pass over the samples gives. Every value the signal cannot support is absent.
struct MeterResult {
    // Loudness, LUFS / LU / dBTP.
    std::optional<double> integrated, threshold, lra, lraLow, lraHigh;
    std::optional<double> maxMomentary, maxShortTerm, truePeak;
    LoudnessHistory history;
    // Sample statistics, dBFS; counts per channel.
    std::optional<double> peak, rms, noiseFloor, flatFactor, dcOffset;
    std::optional<long long> peakCount;
    long long sampleCount = 0;
};

// An ITU-R BS.1770-4 / EBU R128 meter fed with interleaved 32-bit float frames. The K-weighted
// energy is kept per 10 ms, so the 400 ms and 3 s windows are evaluated every 10 ms for their
// maxima; gating blocks step 100 ms (integrated) and 1 s (loudness range) as EBU Tech 3341/3342
// ask. True peak by 4x oversampling (TruePeakMeter). The sample statistics use the same frames.
class LoudnessMeter {
public:
    static constexpr std::size_t kMaxHistoryPoints = 36000;

    LoudnessMeter(int sampleRate, std::vector<double> weights);

    void addFrames(const float *interleaved, std::size_t frames);
    MeterResult finish();

    // For the document's engine record.
    static std::string backendName();

private:
    struct Channel {
        double weight = 1;
        double z1 = 0, z2 = 0, z3 = 0, z4 = 0; // two biquad stages
        double sumSquares = 0, sum = 0;
        float peak = 0, windowPeak = 0;
        float lastAbs = -1;
        long long peakCount = 0, peakRuns = 0;
        double noiseFloor = -1; // smallest 50 ms peak so far; -1 = none yet
    };

    void feedSpan(const float *interleaved, std::size_t frames);
    void closeSubBlock();
    double windowEnergy(std::size_t subBlocks) const;

    int m_rate;
    std::vector<Channel> m_channels;
    double m_b[3]{}, m_a[3]{}, m_rb[3]{}, m_ra[3]{};
    TruePeakMeter m_truePeak;

    long long m_frames = 0;
    long long m_subBlocks = 0;        // completed 10 ms blocks
    long long m_nextBoundary = 0;     // frame index where the current 10 ms block ends
    double m_subEnergy = 0;           // weighted sum of squares in the current 10 ms block
    std::vector<double> m_ringEnergy; // the last 300 blocks (3 s)
    std::vector<long long> m_ringFrames;
    std::vector<double> m_gatingBlocks; // 400 ms energies every 100 ms
    std::vector<double> m_rangeBlocks;  // 3 s energies every 1 s
    double m_maxMomentary = 0, m_maxShortTerm = 0;
    bool m_haveMomentary = false, m_haveShortTerm = false;
    std::vector<double> m_momentary, m_shortTerm; // every 100 ms; NaN = absent
};

} // namespace hoplin::server
