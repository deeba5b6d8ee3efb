#include "TruePeak.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace hoplin::server {

namespace {

using Phases = std::array<std::array<float, TruePeakMeter::kTaps>, 3>;

// Kaiser window shape: with 12 taps the phases stay within 0.01 dB of unity up to 0.3 of the
// sample rate and fall off only above 0.35.
constexpr double kBeta = 6;

using Four = float __attribute__((vector_size(4 * sizeof(float))));
using Eight = float __attribute__((vector_size(8 * sizeof(float))));

// The largest magnitude of the three phases' outputs over x[0 .. count + kTaps - 1), as many
// outputs at a time as `Lanes` holds. Inlined into its caller, so it takes the caller's
// instruction set.
template <typename Lanes>
[[gnu::always_inline]] inline float interpolatedPeak(const Phases &phases, const float *x, std::size_t count)
{
    constexpr std::size_t kLanes = sizeof(Lanes) / sizeof(float);
    constexpr std::size_t taps = TruePeakMeter::kTaps;
    const std::size_t whole = count / kLanes * kLanes;
    Lanes top{};
    for (const auto &phase : phases) {
        for (std::size_t i = 0; i < whole; i += kLanes) {
            Lanes y{};
            for (std::size_t k = 0; k < taps; ++k) {
                Lanes v;
                std::memcpy(&v, x + i + k, sizeof v);
                y += phase[k] * v;
            }
            y = y < 0 ? -y : y;
            top = y > top ? y : top;
        }
    }
    float peak = 0;
    for (std::size_t lane = 0; lane < kLanes; ++lane)
        peak = std::max(peak, top[lane]);
    for (const auto &phase : phases) {
        for (std::size_t i = whole; i < count; ++i) {
            float y = 0;
            for (std::size_t k = 0; k < taps; ++k)
                y += phase[k] * x[i + k];
            peak = std::max(peak, std::fabs(y));
        }
    }
    return peak;
}

// Where the processor has them, eight lanes and fused multiply-add do the same sums in about
// half the time of the four lanes every x86-64 has.
#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2,fma")]] float widePeak(const Phases &phases, const float *x, std::size_t count)
{
    return interpolatedPeak<Eight>(phases, x, count);
}
#endif

float peakOf(const Phases &phases, const float *x, std::size_t count)
{
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    if (wide)
        return widePeak(phases, x, count);
#endif
    return interpolatedPeak<Four>(phases, x, count);
}

} // namespace

TruePeakMeter::TruePeakMeter(std::size_t channels)
    : m_history(channels)
{
    // Phase p's output lies p/4 of a sample after window position kTaps/2 - 1, so tap k is
    // kTaps/2 - 1 + p/4 - k samples away from it. Each phase has unit gain at DC.
    const double half = kTaps / 2;
    for (std::size_t p = 1; p <= 3; ++p) {
        std::array<double, kTaps> taps{};
        double sum = 0;
        for (std::size_t k = 0; k < kTaps; ++k) {
            const double d = half - 1 + double(p) / 4 - double(k);
            const double edge = d / half;
            const double window =
                std::cyl_bessel_i(0.0, kBeta * std::sqrt(1 - edge * edge)) / std::cyl_bessel_i(0.0, kBeta);
            taps[k] = std::sin(M_PI * d) / (M_PI * d) * window;
            sum += taps[k];
        }
        double reach = 0;
        for (std::size_t k = 0; k < kTaps; ++k) {
            m_phases[p - 1][k] = float(taps[k] / sum);
            reach += std::fabs(double(m_phases[p - 1][k]));
        }
        m_reach = std::max(m_reach, reach);
    }
    // Twelve rounded products and sums stay far inside this margin, so a skipped stretch could
    // never have raised the peak.
    m_reach *= 1 + 1e-5;
}

void TruePeakMeter::add(std::size_t channel, const float *samples, std::size_t stride, std::size_t count,
                        float samplePeak)
{
    History &history = m_history[channel];
    // The samples themselves are points of the oversampled signal.
    m_peak = std::max(m_peak, samplePeak);
    float reach = samplePeak;
    for (const float h : history)
        reach = std::max(reach, std::fabs(h));

    if (m_window.size() < history.size() + count)
        m_window.resize(history.size() + count);
    float *window = m_window.data();
    std::copy(history.begin(), history.end(), window);
    for (std::size_t i = 0; i < count; ++i)
        window[history.size() + i] = samples[i * stride];
    if (double(reach) * m_reach > m_peak)
        m_peak = std::max(m_peak, peakOf(m_phases, window, count));
    std::copy(window + count, window + count + history.size(), history.begin());
}

} // namespace hoplin::server
