// Linked only into the copy of the application that the end-to-end update test installs: it
// trusts the tests' throwaway certificate authority, which no shipped build does.
#include <QCoreApplication>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {

void trustTestAuthority()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    auto authorities = configuration.caCertificates();
    authorities << QSslCertificate::fromPath(QStringLiteral(HOPLIN_TEST_CA));
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(trustTestAuthority)
