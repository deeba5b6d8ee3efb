#pragma once

#include <QJsonObject>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace hoplin::server {

// The child process a job is running right now, so a cancel from another thread can stop it.
class ProcessSlot {
public:
    // Kills the current child and every later one of this slot.
    void kill();
    bool killed() const;

    // For the runner: set while the child exists (not yet reaped), cleared before it is reaped,
    // so a kill never reaches a recycled process id.
    bool adopt(pid_t pid);
    void release();

private:
    mutable std::mutex m_mutex;
    pid_t m_pid = 0;
    bool m_killed = false;
};

// A failed measurement; what() is the one-line summary the job reports.
class MeasurementError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Measurement {
    QJsonObject analysis; // the job document's "analysis" object
    std::string report;   // the plain-text report of the same figures
};

// The real analysis of an audio file: ffprobe for the container, streams, tags and chapters, and
// one ffmpeg decoding pass through the ebur128 and astats filters for loudness and levels.
// Blocking; runs on the job's worker thread.
Measurement measureAudio(const std::string &path, const std::string &fileName, ProcessSlot &slot);

// The parsers, on their own so they can be checked against recorded tool output.
struct LoudnessFigures {
    std::optional<double> integrated, threshold, lra, lraLow, lraHigh, samplePeak, truePeak;
    std::optional<double> maxShortTerm, maxMomentary;
};
struct LevelFigures {
    std::optional<double> peak, rms, noiseFloor, flatFactor, peakCount, sampleCount;
};
class FilterLogParser {
public:
    void feed(const std::string &line);
    const LoudnessFigures &loudness() const { return m_loudness; }
    const LevelFigures &levels() const { return m_levels; }

private:
    enum class Block { None, Integrated, Range, SamplePeak, TruePeak };
    LoudnessFigures m_loudness;
    LevelFigures m_levels;
    bool m_inSummary = false;
    bool m_inOverall = false;
    Block m_block = Block::None;
};

std::string hms(double seconds);

} // namespace hoplin::server
