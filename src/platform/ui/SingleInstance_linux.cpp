#include "SingleInstance.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

namespace hoplin::desktop {

namespace {
constexpr auto kInterface = "org.freedesktop.Application";
// Our own key in the platform data: the switches of the launch that handed over.
constexpr auto kSwitches = "hoplin-switches";
// A primary still building its window answers once its event loop runs.
constexpr int kHandOverTimeoutMs = 10000;

QStringList switchesOf(const QVariantMap &platformData)
{
    return platformData.value(QLatin1String(kSwitches)).toStringList();
}
} // namespace

// The freedesktop Application interface on the primary's object.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(SingleInstance *owner)
        : QDBusAbstractAdaptor(owner)
        , m_owner(owner)
    {
    }

public slots:
    void Activate(const QVariantMap &platformData) { emit m_owner->activated(switchesOf(platformData)); }
    void Open(const QStringList &uris, const QVariantMap &platformData)
    {
        // Only local files: what the desktop or another launch passes may be anything.
        QList<QUrl> files;
        for (const QString &uri : uris) {
            const QUrl url(uri);
            if (url.isLocalFile())
                files << url;
        }
        emit m_owner->filesOpened(files, switchesOf(platformData));
    }
    // The application declares no actions: the window comes forward.
    void ActivateAction(const QString &, const QVariantList &, const QVariantMap &) { emit m_owner->activated({}); }

private:
    SingleInstance *m_owner;
};

SingleInstance::SingleInstance(const QString &appId, QObject *parent)
    : SingleInstance(appId, QDBusConnection::sessionBus(), parent)
{
}

SingleInstance::SingleInstance(const QString &appId, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_appId(appId)
    , m_bus(bus)
{
}

SingleInstance::~SingleInstance()
{
    if (m_bus.isConnected() && m_bus.objectRegisteredAt(objectPath(m_appId)) == this) {
        m_bus.unregisterObject(objectPath(m_appId));
        m_bus.unregisterService(m_appId);
    }
}

QString SingleInstance::objectPath(const QString &appId)
{
    return QLatin1Char('/') + QString(appId).replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
}

SingleInstance::Role SingleInstance::claim()
{
    if (!m_bus.isConnected() || !m_bus.interface())
        return Role::Alone;
    // The object first, so a call that arrives the moment the name is ours finds it.
    new ApplicationAdaptor(this);
    if (!m_bus.registerObject(objectPath(m_appId), this, QDBusConnection::ExportAdaptors))
        return Role::Alone;
    const auto reply = m_bus.interface()->registerService(m_appId, QDBusConnectionInterface::DontQueueService,
                                                          QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered)
        return Role::Primary;
    m_bus.unregisterObject(objectPath(m_appId));
    // A bus that refused to answer is as good as none.
    return reply.isValid() ? Role::Secondary : Role::Alone;
}

bool SingleInstance::handOver(const QList<QUrl> &files, const QStringList &switches, QString *error)
{
    QVariantMap platformData;
    if (!switches.isEmpty())
        platformData.insert(QLatin1String(kSwitches), switches);
    QDBusMessage call = QDBusMessage::createMethodCall(m_appId, objectPath(m_appId), QLatin1String(kInterface),
                                                       files.isEmpty() ? QStringLiteral("Activate")
                                                                       : QStringLiteral("Open"));
    if (files.isEmpty()) {
        call << platformData;
    } else {
        QStringList uris;
        for (const QUrl &file : files)
            uris << file.toString(QUrl::FullyEncoded);
        call << uris << platformData;
    }
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, kHandOverTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return true;
    if (error)
        *error = reply.errorMessage();
    return false;
}

} // namespace hoplin::desktop

#include "SingleInstance_linux.moc"
