#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace hoplin::server {

// The true peak of a multichannel signal by 4x oversampling: the samples themselves and three
// interpolated points between each pair, from a 12-tap Kaiser-windowed sinc per phase. A stretch
// whose interpolated points cannot reach the largest value found so far (their bound is the sum
// of a phase's |taps| times the stretch's sample peak) is not interpolated, so quiet passages and
// quiet channels cost almost nothing and the result is the same as interpolating everything.
class TruePeakMeter {
public:
    static constexpr std::size_t kTaps = 12;

    explicit TruePeakMeter(std::size_t channels);

    // The next `count` samples of one channel, `stride` floats apart; `samplePeak` is their
    // largest magnitude.
    void add(std::size_t channel, const float *samples, std::size_t stride, std::size_t count, float samplePeak);

    // Linear, 0 for silence.
    float peak() const { return m_peak; }

private:
    using History = std::array<float, kTaps - 1>;

    std::array<std::array<float, kTaps>, 3> m_phases{};
    double m_reach = 0; // the largest sum of |taps| of a phase, a hair above against rounding
    std::vector<History> m_history;
    std::vector<float> m_window; // history and the current stretch, contiguous
    float m_peak = 0;
};

} // namespace hoplin::server
