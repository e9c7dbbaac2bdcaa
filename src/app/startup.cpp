#include "app/startup.h"

#include "app/logging.h"
#include "core/aes.h"
#include "core/clientconfigx.h"
#include "core/helpers.h"
#include "core/tagtext.h"

#include <QCoreApplication>
#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace {

bool hexRun(const QString &t, qsizetype at, int count, uint &value)
{
    if (at + count > t.size())
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const int h = HexDigitValue(t.at(at + i));
        if (h < 0)
            return false;
        value = value * 16 + uint(h);
    }
    return true;
}

} // namespace

bool LooksPercentEncoded(const QString &text)
{
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        if (text.at(i).unicode() > 128)
            return false;
        if (text.at(i) == u'%' && i + 2 < n) {
            uint v = 0;
            if (!hexRun(text, i + 1, 2, v))
                return false;
        }
    }
    return true;
}

QString PercentDecode(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = text.at(i);
        if (c != u'%') {
            bytes += char(c.unicode() & 0xFF);
            ++i;
            continue;
        }
        uint v = 0;
        if (i + 1 < n && (text.at(i + 1) == u'u' || text.at(i + 1) == u'U')) {
            if (hexRun(text, i + 2, 4, v)) {
                bytes += QString(QChar(char16_t(v))).toUtf8();
                i += 6;
                continue;
            }
        } else if (hexRun(text, i + 1, 2, v)) {
            bytes += char(v);
            i += 3;
            continue;
        }
        // A malformed escape contributes nothing; decoding goes on after the "%".
        ++i;
    }
    return QString::fromUtf8(bytes);
}

QStringList PrepareArgumentPieces(const QString &argument)
{
    QString s = argument;
    if (s.endsWith(u'/'))
        s[s.size() - 1] = u' ';
    s.remove(QStringLiteral("ZuDivuvo://"), Qt::CaseInsensitive);
    // Browsers hand over "zudivuvo:-p%20[code]…" (no "//" before brackets); the prefix is no option.
    static const QString bare = QStringLiteral("ZuDivuvo:");
    if (s.startsWith(bare, Qt::CaseInsensitive))
        s.remove(0, bare.size());
    s.replace(QLatin1String("%20"), QLatin1String(" "));
    return SplitByText(s, QStringLiteral(" "));
}

TStartupResult TStartup::Run(const QString &firstArgument)
{
    TStartupResult result;
    const QStringList pieces = PrepareArgumentPieces(firstArgument);
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const QString &p = pieces.at(i);
        const bool hasNext = i + 1 < pieces.size();
        if (p == QLatin1String("-r")) {
            if (m_register)
                m_register();
            result.registerAndExit = true;
            result.pending = TWebCmd();
            return result;
        }
        if (!hasNext)
            continue;
        const QString &next = pieces.at(i + 1);
        if (p == QLatin1String("-l")) {
            m_config.SetLanguage(StrToIntDef(next, 2));
            m_config.Save();
        } else if (p == QLatin1String("-s")) {
            storeServer(next);
        } else if (p == QLatin1String("-u")) {
            storeSession(next);
        } else if (p == QLatin1String("-p")) {
            preparePending(next, result.pending);
        }
    }
    return result;
}

void TStartup::storeServer(const QString &value)
{
    QString v = value;
    v.remove(u'/');
    const QStringList parts = SplitByText(v, QStringLiteral("#"));
    const QString host = parts.value(0);
    const int port = StrToIntDef(parts.value(1), 80);
    const bool ssl = parts.value(2) == QLatin1String("1");
    const bool changed = host != m_config.ServerHost() || port != m_config.ServerPort() || ssl != m_config.IsSSL();
    m_config.SetServerHost(host);
    m_config.SetServerPort(port);
    m_config.SetIsSSL(ssl);
    // A link must not send the saved password to a server the user never chose:
    // automatic login waits until the user has logged in there through the dialog.
    if (changed && m_config.AutoLogin()) {
        qCInfo(lcApp) << "server changed by a link; automatic login suspended";
        m_config.SetAutoLogin(false);
    }
    m_config.Save();
}

void TStartup::storeSession(const QString &value)
{
    const QString t = DecryptWithAppKey(value, AKS_128);
    m_config.SetOwnerId2(StrToIntDef(GetTagValue(t, QStringLiteral("UserId2")), 0));
    m_config.SetEncryptId(GetTagValue(t, QStringLiteral("UserId")));
    m_config.SetOwnerName(GetTagValue(t, QStringLiteral("UserName")));
    m_config.SetStartStyle(SS_ACTIVTX);
    m_config.Save();
}

void TStartup::preparePending(const QString &value, TWebCmd &pending)
{
    const QString code = GetTagValue(value, QStringLiteral("code"));
    QString cmd = GetTagValue(value, QStringLiteral("cmd"));
    cmd.replace(QLatin1String("##"), QLatin1String(" "));
    const int n = StrToIntDef(code, 0);
    if (n <= 0 || n >= 512)
        return;
    pending.Code = unsigned(n);
    const QString bs = GetTagValue(value, QStringLiteral("bs"));
    pending.Cmd = (bs == QLatin1String("chrome") || LooksPercentEncoded(cmd)) ? PercentDecode(cmd) : cmd;
}

QTranslator *InstallQtTranslations(THS_Language language)
{
    if (language != HSL_CN || !QCoreApplication::instance())
        return nullptr;
    auto *translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

void InstallClientStyle()
{
    // Read-only fields kept the white of an editable one, and users typed into them in vain.
    if (auto *app = qobject_cast<QApplication *>(QCoreApplication::instance()))
        app->setStyleSheet(app->styleSheet() + QStringLiteral("QLineEdit[readOnly=\"true\"] { background: palette(window); }"));
}
