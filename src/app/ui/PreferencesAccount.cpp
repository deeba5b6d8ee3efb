#include "PreferencesView.h"
#include "PreferencesForm.h"

#include "diagnostics/DiagnosticsLogger.h"
#include "platform/Platform.h"
#include "service/Async.h"
#include "ui/Spinner.h"
#include "ui/Theme.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

// The Account section of the Preferences form.

namespace hoplin {

using namespace preferences;

KeychainAccess KeychainAccess::system()
{
    return {&KeychainStore::save, &KeychainStore::load, &KeychainStore::remove};
}

QWidget *PreferencesView::buildAccount()
{
    QVBoxLayout *rows = nullptr;
    QWidget *box = section(QStringLiteral("Account"), QStringLiteral("accountSection"), rows);
    m_keyField = new QLineEdit;
    m_keyField->setObjectName(QStringLiteral("keyField"));
    m_keyField->setEchoMode(QLineEdit::Password);
    m_keyField->setPlaceholderText(QStringLiteral("Paste your client key"));
    rows->addWidget(m_keyField);

    m_remember = button(QStringLiteral("Remember"), QStringLiteral("rememberButton"));
    m_clear = button(QStringLiteral("Clear"), QStringLiteral("clearButton"));
    m_keySpinner = new Spinner(14);
    m_keySpinner->setObjectName(QStringLiteral("keychainSpinner"));
    m_keySpinner->hide();
    connect(m_remember, &QPushButton::clicked, this,
            [this] { detach(remember(), kDiagnostics, QStringLiteral("remember key")); });
    connect(m_clear, &QPushButton::clicked, this,
            [this] { detach(clear(), kDiagnostics, QStringLiteral("clear key")); });
    connect(m_keyField, &QLineEdit::returnPressed, m_remember, &QPushButton::click);
    rows->addLayout(row({m_remember, m_clear, m_keySpinner}));
    rows->addWidget(caption(platform::localText(
        QStringLiteral("Stored securely in your Mac's Keychain. Clear removes it. Remember is separate from the "
                       "current session's Sign out."))));
    m_keyNote = noteLabel(QStringLiteral("keyNote"));
    rows->addWidget(m_keyNote);
    return box;
}

QCoro::Task<> PreferencesView::loadKey()
{
    QPointer self(this);
    auto load = m_keychain.load;
    auto loading = runInBackground([load] { return load(); });
    const std::optional<QString> key = co_await loading;
    if (!self)
        co_return;
    // Whatever the user typed meanwhile wins.
    if (key && !key->isEmpty() && m_keyField->text().isEmpty())
        m_keyField->setText(*key);
}

void PreferencesView::setKeychainBusy(bool busy)
{
    m_remember->setEnabled(!busy);
    m_clear->setEnabled(!busy);
    m_keySpinner->setVisible(busy);
}

QCoro::Task<> PreferencesView::remember()
{
    const QString key = m_keyField->text().trimmed();
    if (key.isEmpty()) {
        setNote(m_keyNote, QStringLiteral("Enter a client key first."));
        co_return;
    }
    setNote(m_keyNote, {});
    setKeychainBusy(true);
    QPointer self(this);
    auto save = m_keychain.save;
    auto saving = runInBackground([save, key] { return save(key); });
    const KeychainStore::Result result = co_await saving;
    if (!self)
        co_return;
    setKeychainBusy(false);
    setNote(m_keyNote, result.isFailure() ? keychainFailure(QStringLiteral("save"), result.code())
                                          : QStringLiteral("Saved — the app connects with this key automatically on launch."));
}

QCoro::Task<> PreferencesView::clear()
{
    setNote(m_keyNote, {});
    setKeychainBusy(true);
    QPointer self(this);
    auto remove = m_keychain.remove;
    auto removing = runInBackground([remove] { return remove(); });
    const KeychainStore::Result result = co_await removing;
    if (!self)
        co_return;
    setKeychainBusy(false);
    m_keyField->clear();
    setNote(m_keyNote, result.isFailure() ? keychainFailure(QStringLiteral("remove"), result.code())
                                          : QStringLiteral("Removed — the app will no longer auto-connect."));
}

QString PreferencesView::keychainFailure(const QString &verb, qint32 code)
{
    // The number means something only to the keyring library: the log keeps it, the user reads
    // what happened.
    m_logger.log(kDiagnostics, QStringLiteral("remembered key: %1 failed with keyring error %2").arg(verb).arg(code));
    QString what;
    switch (KeychainStore::troubleOf(code)) {
    case KeychainStore::Trouble::Locked:
        what = QStringLiteral("your Keychain is locked. Unlock it, then try again.");
        break;
    case KeychainStore::Trouble::NoService:
        what = QStringLiteral("no Keychain service is running.");
        break;
    case KeychainStore::Trouble::Denied:
        what = QStringLiteral("the Keychain denied the request.");
        break;
    case KeychainStore::Trouble::TimedOut:
        what = QStringLiteral("the Keychain did not answer in time.");
        break;
    case KeychainStore::Trouble::Other:
        what = QStringLiteral("the Keychain reported an error (%1).").arg(code);
        break;
    }
    return platform::localText(QStringLiteral("Could not %1: %2").arg(verb, what));
}

} // namespace hoplin
