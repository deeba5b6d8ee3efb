#include "LoudnessMeter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace hoplin::server {

namespace {

constexpr std::size_t kMomentaryBlocks = 40;  // 400 ms of 10 ms blocks
constexpr std::size_t kShortTermBlocks = 300; // 3 s
constexpr long long kHistoryEvery = 10;       // 100 ms
constexpr long long kRangeEvery = 100;        // 1 s, two thirds overlap of the 3 s windows
constexpr long long kNoiseWindow = 5;         // 50 ms
constexpr double kAbsoluteGate = -70.0;
constexpr double kSurroundWeight = 1.41;

double lufs(double energy)
{
    return -0.691 + 10 * std::log10(energy);
}

double energyOf(double lufsValue)
{
    return std::pow(10.0, (lufsValue + 0.691) / 10);
}

std::optional<double> dbfs(double linear)
{
    if (!(linear > 0))
        return std::nullopt;
    return 20 * std::log10(linear);
}

double meanEnergy(const std::vector<double> &blocks, double above)
{
    double sum = 0;
    std::size_t count = 0;
    for (const double e : blocks) {
        if (e > above) {
            sum += e;
            ++count;
        }
    }
    return count ? sum / double(count) : 0;
}

// The layouts ffmpeg names, with their channel order, in ffmpeg's own order.
const std::vector<std::pair<std::string, std::vector<std::string>>> &knownLayouts()
{
    static const std::vector<std::pair<std::string, std::vector<std::string>>> layouts = {
        {"mono", {"FC"}},
        {"stereo", {"FL", "FR"}},
        {"2.1", {"FL", "FR", "LFE"}},
        {"3.0", {"FL", "FR", "FC"}},
        {"3.0(back)", {"FL", "FR", "BC"}},
        {"4.0", {"FL", "FR", "FC", "BC"}},
        {"quad", {"FL", "FR", "BL", "BR"}},
        {"quad(side)", {"FL", "FR", "SL", "SR"}},
        {"3.1", {"FL", "FR", "FC", "LFE"}},
        {"5.0", {"FL", "FR", "FC", "BL", "BR"}},
        {"5.0(side)", {"FL", "FR", "FC", "SL", "SR"}},
        {"4.1", {"FL", "FR", "FC", "LFE", "BC"}},
        {"5.1", {"FL", "FR", "FC", "LFE", "BL", "BR"}},
        {"5.1(side)", {"FL", "FR", "FC", "LFE", "SL", "SR"}},
        {"6.0", {"FL", "FR", "FC", "BC", "SL", "SR"}},
        {"6.0(front)", {"FL", "FR", "FLC", "FRC", "SL", "SR"}},
        {"hexagonal", {"FL", "FR", "FC", "BL", "BR", "BC"}},
        {"6.1", {"FL", "FR", "FC", "LFE", "BC", "SL", "SR"}},
        {"6.1(back)", {"FL", "FR", "FC", "LFE", "BL", "BR", "BC"}},
        {"6.1(front)", {"FL", "FR", "LFE", "FLC", "FRC", "SL", "SR"}},
        {"7.0", {"FL", "FR", "FC", "BL", "BR", "SL", "SR"}},
        {"7.0(front)", {"FL", "FR", "FC", "FLC", "FRC", "SL", "SR"}},
        {"7.1", {"FL", "FR", "FC", "LFE", "BL", "BR", "SL", "SR"}},
        {"7.1(wide)", {"FL", "FR", "FC", "LFE", "BL", "BR", "FLC", "FRC"}},
        {"7.1(wide-side)", {"FL", "FR", "FC", "LFE", "FLC", "FRC", "SL", "SR"}},
    };
    return layouts;
}

// BS.1770-4: 1.41 for loudspeakers between 60° and 120° off centre, 1.0 elsewhere, LFE not
// counted. Side channels sit at ±90°; back channels count as surround (±110°) only when the
// layout has no side channels, otherwise they are the rear pair (±135° to ±150°).
std::vector<double> weightsOf(const std::vector<std::string> &names)
{
    const bool hasSides = std::find(names.begin(), names.end(), "SL") != names.end();
    std::vector<double> weights;
    for (const std::string &name : names) {
        if (name == "LFE")
            weights.push_back(0);
        else if (name == "SL" || name == "SR" || (!hasSides && (name == "BL" || name == "BR")))
            weights.push_back(kSurroundWeight);
        else
            weights.push_back(1);
    }
    return weights;
}

} // namespace

ChannelWeighting channelWeighting(const std::string &layout, int channels)
{
    const auto &layouts = knownLayouts();
    const auto named = [&](const std::string &name) {
        return std::find_if(layouts.begin(), layouts.end(), [&](const auto &entry) { return entry.first == name; });
    };
    auto found = named(layout);
    bool assumed = false;
    if (found == layouts.end() || int(found->second.size()) != channels) {
        // A file that names no layout is decoded in the one ffmpeg guesses: the first of its
        // list with that many channels (4 channels are 4.0, 5 are 5.0, 7 are 6.1, 8 are 7.1).
        found = std::find_if(layouts.begin(), layouts.end(),
                             [&](const auto &entry) { return int(entry.second.size()) == channels; });
        assumed = true;
    }
    if (found == layouts.end())
        return {std::vector<double>(std::size_t(std::max(channels, 0)), 1.0),
                std::to_string(channels) + " channels of unknown layout, each weighted 1.0"};
    ChannelWeighting result{weightsOf(found->second), {}};
    if (found->first == "mono") {
        result.note = "mono: one channel, weight 1.0 (ITU-R BS.1770)";
    } else {
        result.note = found->first + (assumed ? " (assumed)" : "") + ": ";
        for (std::size_t i = 0; i < found->second.size(); ++i) {
            char weight[16];
            std::snprintf(weight, sizeof weight, "%.2f", result.weights[i]);
            result.note += (i ? ", " : "") + found->second[i] + ' ' + weight;
        }
    }
    return result;
}

std::string LoudnessMeter::backendName()
{
    return "BS.1770-4 meter on a 10 ms grid, true peak by 4x oversampling";
}

LoudnessMeter::LoudnessMeter(int sampleRate, std::vector<double> weights)
    : m_rate(sampleRate)
    , m_truePeak(weights.size())
    , m_ringEnergy(kShortTermBlocks, 0)
    , m_ringFrames(kShortTermBlocks, 0)
{
    for (const double weight : weights) {
        Channel channel;
        channel.weight = weight;
        m_channels.push_back(channel);
    }
    // K-weighting for any sample rate: the high-shelf and high-pass prototypes of BS.1770
    // through the bilinear transform.
    const double rate = sampleRate;
    double f0 = 1681.974450955533, gain = 3.999843853973347, q = 0.7071752369554196;
    double k = std::tan(M_PI * f0 / rate);
    const double vh = std::pow(10.0, gain / 20);
    const double vb = std::pow(vh, 0.4996667741545416);
    double a0 = 1 + k / q + k * k;
    m_b[0] = (vh + vb * k / q + k * k) / a0;
    m_b[1] = 2 * (k * k - vh) / a0;
    m_b[2] = (vh - vb * k / q + k * k) / a0;
    m_a[1] = 2 * (k * k - 1) / a0;
    m_a[2] = (1 - k / q + k * k) / a0;
    f0 = 38.13547087602444;
    q = 0.5003270373238773;
    k = std::tan(M_PI * f0 / rate);
    a0 = 1 + k / q + k * k;
    m_rb[0] = 1;
    m_rb[1] = -2;
    m_rb[2] = 1;
    m_ra[1] = 2 * (k * k - 1) / a0;
    m_ra[2] = (1 - k / q + k * k) / a0;

    m_nextBoundary = (m_rate + 50) / 100;
}

void LoudnessMeter::addFrames(const float *interleaved, std::size_t frames)
{
    if (m_channels.empty())
        return;
    // Split at the 10 ms boundaries.
    while (frames > 0) {
        const std::size_t take = std::size_t(std::min<long long>(static_cast<long long>(frames), m_nextBoundary - m_frames));
        feedSpan(interleaved, take);
        interleaved += take * m_channels.size();
        frames -= take;
        m_frames += static_cast<long long>(take);
        if (m_frames == m_nextBoundary)
            closeSubBlock();
    }
}

void LoudnessMeter::feedSpan(const float *in, std::size_t frames)
{
    // One channel's figures over the span, in locals.
    struct Scan {
        double z1, z2, z3, z4;
        float peak, windowPeak, lastAbs;
        long long peakCount, peakRuns;
        bool weigh;
        double squares = 0, weighted = 0, sum = 0;
        float spanPeak = 0;
    };
    const auto open = [&](const Channel &ch) {
        return Scan{ch.z1, ch.z2, ch.z3, ch.z4, ch.peak, ch.windowPeak, ch.lastAbs, ch.peakCount, ch.peakRuns,
                    ch.weight > 0};
    };
    const auto take = [&](Scan &s, float x) {
        const float a = std::fabs(x);
        if (a > s.peak) {
            s.peak = a;
            s.peakCount = 1;
            s.peakRuns = 1;
        } else if (a == s.peak && a > 0) {
            ++s.peakCount;
            if (s.lastAbs != a)
                ++s.peakRuns;
        }
        s.lastAbs = a;
        s.windowPeak = std::max(s.windowPeak, a);
        s.spanPeak = std::max(s.spanPeak, a);
        s.squares += double(x) * x;
        s.sum += x;
        if (s.weigh) {
            const double s1 = m_b[0] * x + s.z1;
            s.z1 = m_b[1] * x - m_a[1] * s1 + s.z2;
            s.z2 = m_b[2] * x - m_a[2] * s1;
            const double s2 = s1 + s.z3;
            s.z3 = -2 * s1 - m_ra[1] * s2 + s.z4;
            s.z4 = s1 - m_ra[2] * s2;
            s.weighted += s2 * s2;
        }
    };
    const std::size_t stride = m_channels.size();
    const auto close = [&](std::size_t c, const Scan &s) {
        Channel &ch = m_channels[c];
        // Filter states decaying into denormals would slow down every silent stretch after them.
        const auto flush = [](double v) { return std::fabs(v) < 1e-30 ? 0.0 : v; };
        ch.z1 = flush(s.z1);
        ch.z2 = flush(s.z2);
        ch.z3 = flush(s.z3);
        ch.z4 = flush(s.z4);
        ch.sumSquares += s.squares;
        ch.sum += s.sum;
        ch.peak = s.peak;
        ch.windowPeak = s.windowPeak;
        ch.lastAbs = s.lastAbs;
        ch.peakCount = s.peakCount;
        ch.peakRuns = s.peakRuns;
        m_subEnergy += ch.weight * s.weighted;
        m_truePeak.add(c, in + c, stride, frames, s.spanPeak);
    };
    // Each channel's filter is one long chain of dependent steps; two channels in the same loop
    // let the processor overlap them.
    for (std::size_t c = 0; c < stride; c += 2) {
        Scan one = open(m_channels[c]);
        if (c + 1 < stride) {
            Scan two = open(m_channels[c + 1]);
            for (std::size_t f = 0; f < frames; ++f) {
                take(one, in[f * stride + c]);
                take(two, in[f * stride + c + 1]);
            }
            close(c + 1, two);
        } else {
            for (std::size_t f = 0; f < frames; ++f)
                take(one, in[f * stride + c]);
        }
        close(c, one);
    }
}

double LoudnessMeter::windowEnergy(std::size_t subBlocks) const
{
    double energy = 0;
    long long frames = 0;
    for (std::size_t i = 1; i <= subBlocks; ++i) {
        const std::size_t at = std::size_t((m_subBlocks - static_cast<long long>(i)) % static_cast<long long>(kShortTermBlocks));
        energy += m_ringEnergy[at];
        frames += m_ringFrames[at];
    }
    return frames > 0 ? energy / double(frames) : 0;
}

void LoudnessMeter::closeSubBlock()
{
    const std::size_t at = std::size_t(m_subBlocks % static_cast<long long>(kShortTermBlocks));
    const long long start = m_subBlocks == 0 ? 0 : (m_subBlocks * m_rate + 50) / 100;
    m_ringEnergy[at] = m_subEnergy;
    m_ringFrames[at] = m_nextBoundary - start;
    m_subEnergy = 0;
    ++m_subBlocks;
    m_nextBoundary = ((m_subBlocks + 1) * m_rate + 50) / 100;

    const double nan = std::numeric_limits<double>::quiet_NaN();
    double momentary = nan, shortTerm = nan;
    if (m_subBlocks >= static_cast<long long>(kMomentaryBlocks)) {
        momentary = windowEnergy(kMomentaryBlocks);
        if (momentary > 0 && (!m_haveMomentary || momentary > m_maxMomentary)) {
            m_maxMomentary = momentary;
            m_haveMomentary = true;
        }
    }
    if (m_subBlocks >= static_cast<long long>(kShortTermBlocks)) {
        shortTerm = windowEnergy(kShortTermBlocks);
        if (shortTerm > 0 && (!m_haveShortTerm || shortTerm > m_maxShortTerm)) {
            m_maxShortTerm = shortTerm;
            m_haveShortTerm = true;
        }
        if ((m_subBlocks - static_cast<long long>(kShortTermBlocks)) % kRangeEvery == 0)
            m_rangeBlocks.push_back(shortTerm);
    }
    if (m_subBlocks % kHistoryEvery == 0) {
        if (!std::isnan(momentary))
            m_gatingBlocks.push_back(momentary);
        m_momentary.push_back(momentary > 0 ? lufs(momentary) : nan);
        m_shortTerm.push_back(shortTerm > 0 ? lufs(shortTerm) : nan);
    }
    if (m_subBlocks % kNoiseWindow == 0) {
        for (Channel &ch : m_channels) {
            if (ch.noiseFloor < 0 || ch.windowPeak < ch.noiseFloor)
                ch.noiseFloor = ch.windowPeak;
            ch.windowPeak = 0;
        }
    }
}

namespace {

// Longer series are cut to the limit by keeping the loudest value of each group of points.
std::vector<std::optional<double>> decimated(const std::vector<double> &series, std::size_t factor)
{
    std::vector<std::optional<double>> out;
    out.reserve(series.size() / factor + 1);
    for (std::size_t start = 0; start < series.size(); start += factor) {
        std::optional<double> loudest;
        for (std::size_t i = start; i < std::min(series.size(), start + factor); ++i) {
            if (!std::isnan(series[i]) && (!loudest || series[i] > *loudest))
                loudest = series[i];
        }
        out.push_back(loudest);
    }
    return out;
}

} // namespace

MeterResult LoudnessMeter::finish()
{
    MeterResult r;
    const double absoluteGate = energyOf(kAbsoluteGate);

    // Integrated loudness: absolute gate, then 10 LU below the mean of what passed it.
    if (const double mean = meanEnergy(m_gatingBlocks, absoluteGate); mean > 0) {
        const double relative = lufs(mean) - 10;
        r.threshold = relative;
        if (const double gated = meanEnergy(m_gatingBlocks, energyOf(relative)); gated > 0)
            r.integrated = lufs(gated);
    }

    // Loudness range: short-term values past the absolute gate and 20 LU below their mean; the
    // 10th to the 95th percentile. A range needs at least two values.
    if (const double mean = meanEnergy(m_rangeBlocks, absoluteGate); mean > 0) {
        const double relative = energyOf(lufs(mean) - 20);
        std::vector<double> values;
        for (const double e : m_rangeBlocks) {
            if (e > absoluteGate && e > relative)
                values.push_back(lufs(e));
        }
        if (values.size() >= 2) {
            std::sort(values.begin(), values.end());
            const auto percentile = [&](double p) {
                return values[std::size_t(double(values.size() - 1) * p + 0.5)];
            };
            r.lraLow = percentile(0.10);
            r.lraHigh = percentile(0.95);
            r.lra = *r.lraHigh - *r.lraLow;
        }
    }
    if (m_haveMomentary)
        r.maxMomentary = lufs(m_maxMomentary);
    if (m_haveShortTerm)
        r.maxShortTerm = lufs(m_maxShortTerm);

    r.truePeak = dbfs(m_truePeak.peak());

    const std::size_t factor = std::max<std::size_t>(1, (m_momentary.size() + kMaxHistoryPoints - 1) / kMaxHistoryPoints);
    r.history.stepSec = 0.1 * double(factor);
    r.history.momentary = decimated(m_momentary, factor);
    r.history.shortTerm = decimated(m_shortTerm, factor);

    // Sample statistics over all channels; counts per channel.
    r.sampleCount = m_frames;
    float peak = 0;
    double squares = 0, sum = 0, floor = -1;
    for (const Channel &ch : m_channels) {
        peak = std::max(peak, ch.peak);
        squares += ch.sumSquares;
        sum += ch.sum;
        if (ch.noiseFloor >= 0 && (floor < 0 || ch.noiseFloor < floor))
            floor = ch.noiseFloor;
    }
    const double samples = double(m_frames) * double(m_channels.size());
    r.peak = dbfs(peak);
    if (peak > 0) {
        long long count = 0, runs = 0;
        for (const Channel &ch : m_channels) {
            if (ch.peak == peak) {
                count = std::max(count, ch.peakCount);
                runs += ch.peakRuns;
            }
        }
        r.peakCount = count;
        long long allCount = 0;
        for (const Channel &ch : m_channels)
            allCount += ch.peak == peak ? ch.peakCount : 0;
        // How long the signal sits at its peak, per run: 0 dB for isolated peaks, more when clipped.
        r.flatFactor = runs > 0 ? 20 * std::log10(double(allCount) / double(runs)) : 0;
    }
    if (samples > 0) {
        r.rms = squares > 0 ? std::optional<double>(10 * std::log10(squares / samples)) : std::nullopt;
        r.dcOffset = sum / samples;
    }
    if (floor >= 0)
        r.noiseFloor = dbfs(floor);
    return r;
}

} // namespace hoplin::server
