#pragma once

#include "convert/FFmpegInstaller.h"

#include <QDialog>
#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;

namespace hoplin {

// The sheet that puts a working ffmpeg in place: download (verified), a Homebrew copy, or an
// executable the user picks. Every path ends in the managed tools folder.
class FFmpegInstallSheet : public QDialog {
    Q_OBJECT
public:
    using OnInstalled = std::function<void(const QString &path)>;

    explicit FFmpegInstallSheet(OnInstalled onInstalled, QWidget *parent = nullptr,
                                FFmpegInstaller::Locations locations = FFmpegInstaller::Locations::standard());

    FFmpegInstaller &installer() { return m_installer; }
    // Where a Homebrew ffmpeg would be, if any is installed on this machine.
    static QString homebrewFFmpeg();

    void installRecommended();
    void pickExisting();
    void adopt(const QString &path);

    void reject() override; // "Cancel", Escape and closing the window all cancel the installation

private:
    void refresh();

    FFmpegInstaller m_installer;
    OnInstalled m_onInstalled;
    QLabel *m_progress = nullptr;
    QProgressBar *m_bar = nullptr;
    QPushButton *m_install = nullptr;
    QPushButton *m_homebrew = nullptr;
    QPushButton *m_use = nullptr;
};

} // namespace hoplin
