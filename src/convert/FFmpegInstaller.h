#pragma once

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <memory>

class QNetworkReply;

namespace hoplin {

// Puts a working ffmpeg into the managed tools folder: a verified download from the service (with
// a fallback location), or a copy of an executable the user points at. The sheet drives it.
class FFmpegInstaller : public QObject {
    Q_OBJECT
public:
    enum class Phase { Idle, Downloading, Extracting, Failed };
    Q_ENUM(Phase)

    struct Locations {
        QUrl primaryZip;
        QUrl primarySum;
        QUrl fallbackZip;
        QUrl fallbackSum;
        // The service's package, and its mirror as the fallback.
        static Locations standard();
    };

    explicit FFmpegInstaller(Locations locations = Locations::standard(), QObject *parent = nullptr);
    ~FFmpegInstaller() override;

    Phase phase() const { return m_phase; }
    QString failureMessage() const { return m_failure; }
    // The line shown under the sheet's text for the current phase.
    QString progressText() const;
    QString installed() const { return m_installed; }
    const Locations &locations() const { return m_locations; }

    void installRecommended();
    void adopt(const QString &path);
    void cancel();

    // The prefix under which working folders are made in the temporary directory.
    static QString workingFolderPrefix() { return QStringLiteral("hoplin-ffmpeg-"); }

signals:
    void phaseChanged();
    void installedChanged(const QString &path);
    void downloadProgress(qint64 received, qint64 total);

private:
    struct Run;
    QCoro::Task<> runRecommended(std::shared_ptr<Run> run);
    QCoro::Task<> runAdopt(std::shared_ptr<Run> run, QString path);
    QCoro::Task<QString> attempt(std::shared_ptr<Run> run, QUrl zip, QUrl sum);
    QCoro::Task<QByteArray> fetchSmall(std::shared_ptr<Run> run, QUrl url);
    QCoro::Task<QString> fetchToFile(std::shared_ptr<Run> run, QUrl url, QString path);
    QCoro::Task<QString> extractAndAdopt(std::shared_ptr<Run> run, QString folder, QString archive);
    std::shared_ptr<Run> startRun(Phase phase);
    void finish(const std::shared_ptr<Run> &run, const QString &installed);
    void fail(const std::shared_ptr<Run> &run, const QString &message);
    void setPhase(Phase phase);

    Locations m_locations;
    Phase m_phase = Phase::Idle;
    QString m_failure;
    QString m_installed;
    std::shared_ptr<Run> m_run;
};

} // namespace hoplin
