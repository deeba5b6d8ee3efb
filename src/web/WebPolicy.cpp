#include "WebPolicy.h"

#include "platform/Settings.h"
#include "service/APIClient.h"
#include "version.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <cstdio>

namespace hoplin::web {

namespace {

// Same scheme, host and port; a missing port matches only a missing port.
bool sameOrigin(const QUrl &url, const QUrl &origin)
{
    return !url.host().isEmpty() && url.host() == origin.host() && url.scheme() == origin.scheme() &&
           url.port() == origin.port();
}

bool isDebris(const QString &name)
{
    return name == u".DS_Store" || name == u"__MACOSX" || name.startsWith(u"._");
}

} // namespace

QString expectedOrigin()
{
    const QUrl base = APIClient::baseURL();
    QString origin = (base.scheme().isEmpty() ? QStringLiteral("https") : base.scheme()) + QStringLiteral("://") + base.host();
    if (base.port() != -1)
        origin += QLatin1Char(':') + QString::number(base.port());
    return origin;
}

bool isApprovedPage(const QUrl &url)
{
    return url.isLocalFile() || isApprovedSecurityOrigin(url);
}

bool isApprovedSecurityOrigin(const QUrl &origin)
{
    return sameOrigin(origin, APIClient::baseURL()) ||
           sameOrigin(origin, QUrl(QString::fromLatin1(version::kServiceOrigin)));
}

bool opensInBrowser(const QUrl &url)
{
    // Any other scheme would hand the page's address to whatever program claims it.
    return (url.scheme() == u"http" || url.scheme() == u"https") && !url.host().isEmpty();
}

bool isInertAddress(const QUrl &url)
{
    if (url.isEmpty())
        return true;
    if (url.scheme() == u"about")
        return url.path() == u"blank" || url.path() == u"srcdoc";
    if (url.scheme() == u"blob")
        return isApprovedSecurityOrigin(QUrl(url.path()));
    return false;
}

QString pageName(const QUrl &url)
{
    if (url.isEmpty())
        return QStringLiteral("?");
    return url.fileName();
}

QString downloadDestination(const QString &folder, const QString &suggestedName)
{
    if (folder.isEmpty())
        return {};
    // Only the last component: a suggested "../../x" must not leave the folder.
    QString name = suggestedName;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = name.section(QLatin1Char('/'), -1);
    // No hidden files: a page must not plant ".bashrc" or ".profile" where they take effect.
    while (name.startsWith(QLatin1Char('.')))
        name.remove(0, 1);
    if (name.isEmpty())
        name = QStringLiteral("download");
    const QDir dir(folder);
    if (!QFileInfo::exists(dir.filePath(name)))
        return dir.filePath(name);
    const QFileInfo info(name);
    // "archive.tar.gz" counts as base "archive.tar" and extension "gz", like any other name.
    const QString extension = info.suffix();
    const QString base = extension.isEmpty() ? name : name.left(name.size() - extension.size() - 1);
    for (int n = 1;; ++n) {
        QString candidate = base + QStringLiteral(" (%1)").arg(n);
        if (!extension.isEmpty())
            candidate += QLatin1Char('.') + extension;
        if (!QFileInfo::exists(dir.filePath(candidate)))
            return dir.filePath(candidate);
    }
}

QList<QUrl> expandToFiles(const QList<QUrl> &urls, int limit)
{
    QList<QUrl> files;
    QSet<QString> taken;
    auto add = [&](const QString &path) {
        if (!taken.contains(path)) {
            taken.insert(path);
            files.append(QUrl::fromLocalFile(path));
        }
    };
    for (const QUrl &url : urls) {
        const QFileInfo info(url.toLocalFile());
        if (!url.isLocalFile() || !info.exists())
            continue;
        if (!info.isDir()) {
            add(info.absoluteFilePath());
            continue;
        }
        // Hidden entries are left out by the filter; symbolic links are not followed into folders.
        QDirIterator walk(info.absoluteFilePath(), QDir::AllEntries | QDir::NoDotAndDotDot,
                          QDirIterator::Subdirectories);
        while (walk.hasNext()) {
            if (files.size() >= limit)
                return files;
            const QString path = walk.next();
            const QFileInfo entry = walk.fileInfo();
            if (isDebris(entry.fileName()) || !entry.isFile() || entry.isSymLink())
                continue;
            add(path);
        }
    }
    return files;
}

bool bridgeFits(const QList<QUrl> &files)
{
    qint64 total = 0;
    for (const QUrl &file : files)
        total += QFileInfo(file.toLocalFile()).size();
    return total <= kBridgeLimitBytes;
}

QString escapeSingleQuoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    escaped.replace(QLatin1Char('\''), QStringLiteral("\\'"));
    // A raw line break would end the string literal; U+2028/9 too in older engines.
    escaped.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    escaped.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    escaped.replace(QChar(0x2028), QStringLiteral("\\u2028"));
    escaped.replace(QChar(0x2029), QStringLiteral("\\u2029"));
    return escaped;
}

QString clipPageLog(const QString &text)
{
    if (text.size() <= kPageLogLimit)
        return text;
    return text.left(kPageLogLimit) + QStringLiteral("…");
}

Base64Reader::Base64Reader(const QString &path)
    : m_file(path)
{
    m_file.open(QIODevice::ReadOnly);
}

qint64 Base64Reader::encodedSize() const
{
    return (m_file.size() + 2) / 3 * 4;
}

std::optional<QByteArray> Base64Reader::nextSlice()
{
    if (!m_file.isOpen())
        return std::nullopt;
    const QByteArray chunk = m_file.read(kSliceBytes);
    if (m_file.error() != QFileDevice::NoError)
        return std::nullopt;
    return chunk.toBase64();
}

std::optional<QString> Base64Reader::nextStagingScript()
{
    const std::optional<QByteArray> slice = nextSlice();
    if (!slice)
        return std::nullopt;
    if (slice->isEmpty())
        return QString();
    return bridgeStageScript(*slice);
}

// Slices wait in the page under this name until the last one arrived.
static const auto kStage = QStringLiteral("window.__hoplinDropSlices");

QString bridgeStartScript()
{
    return kStage + QStringLiteral(" = []; 'ok'");
}

QString bridgeStageScript(const QByteArray &base64Slice)
{
    // Base64 needs no escaping inside a single-quoted string.
    QString script;
    script.reserve(base64Slice.size() + 64);
    script += QStringLiteral("(function(){if(!Array.isArray(") + kStage + QStringLiteral("))return 'no transfer';");
    script += kStage + QStringLiteral(".push('");
    script += QLatin1String(base64Slice);
    script += QStringLiteral("');return 'ok';})()");
    return script;
}

QString bridgeFinishScript(const QString &target, const QString &fileName)
{
    const QJsonObject entry{{QStringLiteral("name"), fileName}, {QStringLiteral("type"), QStringLiteral("audio/wav")}};
    const QString json = escapeSingleQuoted(QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact)));
    QString call;
    if (target == u"immDropZone")
        call = QStringLiteral("window.hoplinInjectImmersiveFile(entry);");
    else if (target == u"dropZone")
        call = QStringLiteral("window.hoplinInjectFile(entry);");
    else
        call = QStringLiteral("window.hoplinInjectFiles([entry]);");
    return QStringLiteral("(function(){var slices=%1;%1=undefined;try{if(!Array.isArray(slices))return 'no transfer';"
                          "var entry=JSON.parse('%2');entry.data=slices.join('');slices=null;%3return 'ok';}"
                          "catch(e){return String(e);}})()")
        .arg(kStage, json, call);
}

void consoleLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void debugLine(const QString &line)
{
    if (Settings::shared().boolean(QString::fromLatin1(keys::dropBridgeLog)))
        consoleLine(line);
}

} // namespace hoplin::web
