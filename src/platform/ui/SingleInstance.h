#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

namespace hoplin::desktop {

// One running copy per session. The first launch owns the application's name on the session bus
// and answers the freedesktop Application interface (Activate, Open), which desktops call for a
// D-Bus-activatable application; a later launch hands its files and "-key value" switches to it
// and ends. Without a session bus every launch runs on its own.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role {
        Primary,   // owns the name: answers the others
        Secondary, // another process owns it
        Alone,     // no session bus
    };

    // `appId` is the reverse-domain name of the .desktop file ("com.hoplin.desktop").
    explicit SingleInstance(const QString &appId, QObject *parent = nullptr);
    // The same on a given bus (tests).
    SingleInstance(const QString &appId, const QDBusConnection &bus, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Tries to own the name; called once, before the window exists (calls wait until the event
    // loop runs).
    Role claim();
    // From a secondary: Open with the files, or Activate when there are none; the switches ride
    // along in the platform data. False with `error` set when the primary did not answer.
    bool handOver(const QList<QUrl> &files, const QStringList &switches, QString *error);

    // The object path of `appId` ("/com/hoplin/desktop").
    static QString objectPath(const QString &appId);

signals:
    // From another launch or the desktop: bring the window forward, with the switches that
    // launch was given (none from a desktop).
    void activated(const QStringList &switches);
    void filesOpened(const QList<QUrl> &files, const QStringList &switches);

private:
    QString m_appId;
    QDBusConnection m_bus;
};

} // namespace hoplin::desktop
