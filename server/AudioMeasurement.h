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
// one ffmpeg decoding pass of the first audio stream piping 32-bit float samples into our own
// loudness meter and sample statistics. Blocking; runs on the job's worker thread.
Measurement measureAudio(const std::string &path, const std::string &fileName, ProcessSlot &slot);

std::string hms(double seconds);

} // namespace hoplin::server
