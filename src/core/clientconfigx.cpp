#include "core/clientconfigx.h"

#include "core/adapters.h"
#include "core/aes.h"
#include "core/folders.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/textfile.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kDscName = QStringLiteral("rvc.dsc");

// Every key of rvc.sys and rvc.dsc, read or not.
const QStringList &storeKeys()
{
    static const QStringList keys{
        QStringLiteral("ServerHost"), QStringLiteral("ServerPort"), QStringLiteral("IsSSL"), QStringLiteral("EncryptId"),
        QStringLiteral("OwnerId2"), QStringLiteral("OwnerName"), QStringLiteral("LoginName"),
        QStringLiteral("LoginPassword"), QStringLiteral("AutoLogin"), QStringLiteral("SaveLoginInfo"),
        QStringLiteral("SavePassword"), QStringLiteral("Language"), QStringLiteral("StartStyle"),
        QStringLiteral("WorkRoot"), QStringLiteral("LastCheckoutPath"), QStringLiteral("DownloadRoot"),
        QStringLiteral("LastGroupId"), QStringLiteral("FileExtInfo"), QStringLiteral("PreviewRect"),
        QStringLiteral("LastTimeOfViewMsg"), QStringLiteral("EnableQR"), QStringLiteral("BindingIp"),
        QStringLiteral("BindingPort"), QStringLiteral("MyPic"), QStringLiteral("MsgRoot"),
        QStringLiteral("ParameterInit"), QStringLiteral("FontName"), QStringLiteral("FontSize"),
        QStringLiteral("FontColor"), QStringLiteral("FontStyle"), QStringLiteral("ShowBackupTask"),
        QStringLiteral("AutovuexOpenOfficeFile"), QStringLiteral("IsCreateShortcut"), QStringLiteral("WebSocketPort"),
        QStringLiteral("HorizontalOfImagePrint"), QStringLiteral("NotShowEditGuide"), QStringLiteral("LastUploadPath"),
        QStringLiteral("IsIncludeRoot"), QStringLiteral("OpenAfterCheckout")};
    return keys;
}

bool sameAsciiName(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        char16_t x = a[i].unicode(), y = b[i].unicode();
        if (x >= u'a' && x <= u'z')
            x = char16_t(x - 32);
        if (y >= u'a' && y <= u'z')
            y = char16_t(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// Names of the entries that stand one after another in a store text, including an
// opening tag left without its closing tag. Tag text inside a value (FileExtInfo)
// is skipped with its entry.
QStringList entryNames(const QString &text)
{
    QStringList names;
    qsizetype p = 0;
    while (p < text.size()) {
        const qsizetype at = text.indexOf(u'[', p);
        const qsizetype end = at < 0 ? -1 : text.indexOf(u']', at + 1);
        if (end < 0)
            break;
        const QStringView name = QStringView(text).sliced(at + 1, end - at - 1);
        if (name.isEmpty() || name.startsWith(u'/') || name.contains(u'[')) {
            p = at + 1;
            continue;
        }
        const QString n = name.toString();
        names << n;
        const qsizetype close = text.indexOf(QString(QLatin1String("[/") + n + QLatin1Char(']')), end, Qt::CaseInsensitive);
        p = close < 0 ? end + 1 : close + n.size() + 3;
    }
    return names;
}

// A value must never read as a tag of a key: "[Key]" or "[/Key]" inside it, for a key
// of the store or one the text holds, gets full-width brackets. Other brackets (a
// folder named "[docs]") stay as they are.
QString neutralised(const QString &value, const QString &key, const QString &text)
{
    if (!value.contains(u'['))
        return value;
    QStringList names = storeKeys();
    names << key << entryNames(text);
    QString out = value;
    for (qsizetype at = out.indexOf(u'['); at >= 0; at = out.indexOf(u'[', at + 1)) {
        const qsizetype end = out.indexOf(u']', at + 1);
        if (end < 0)
            break;
        QStringView name = QStringView(out).sliced(at + 1, end - at - 1);
        if (name.startsWith(u'/'))
            name = name.sliced(1);
        if (name.contains(u'['))
            continue;
        for (const QString &n : std::as_const(names)) {
            if (sameAsciiName(name, n)) {
                out[at] = QChar(0xFF3B);
                out[end] = QChar(0xFF3D);
                break;
            }
        }
    }
    return out;
}
} // namespace

TClientConfigX::TClientConfigX()
    : TClientConfigX(GetConfigFolder() + QLatin1String("rvc.sys"))
{
}

TClientConfigX::TClientConfigX(const QString &configFileName)
    : FConfigFileName(configFileName)
    , FConfigStr(ReadTextFile(configFileName))
{
}

bool TClientConfigX::Save()
{
    FLastSaveError.clear();
    ForceFileFolder(FConfigFileName);
    // Holds the password and user-id ciphers: owner-only.
    return WriteUnicodeTextFile(FConfigFileName, FConfigStr, &FLastSaveError, true);
}

void TClientConfigX::Clear()
{
    SetStartStyle(SS_NONE);
    SetEncryptId(QString());
    SetOwnerId2(0);
    SetOwnerName(QString());
    Save();
}

QString TClientConfigX::GetValueEx(const QString &name) const
{
    return GetTagValue(FConfigStr, name);
}

void TClientConfigX::SetValueEx(const QString &name, const QString &value)
{
    SetTagValue(name, neutralised(value, name, FConfigStr), FConfigStr);
}

bool TClientConfigX::boolValue(const QString &key, bool def) const
{
    const QString v = GetValueEx(key);
    if (v == QLatin1String("1"))
        return true;
    if (v == QLatin1String("0"))
        return false;
    return def;
}

void TClientConfigX::setBool(const QString &key, bool v)
{
    SetValueEx(key, v ? QStringLiteral("1") : QStringLiteral("0"));
}

int TClientConfigX::intValue(const QString &key, int def) const
{
    return StrToIntDef(GetValueEx(key), def);
}

QString TClientConfigX::ServerHost() const { return GetValueEx(QStringLiteral("ServerHost")); }
void TClientConfigX::SetServerHost(const QString &v) { SetValueEx(QStringLiteral("ServerHost"), v); }

int TClientConfigX::ServerPort() const
{
    const int p = intValue(QStringLiteral("ServerPort"), 8088);
    return p == 0 ? 8088 : p;
}
void TClientConfigX::SetServerPort(int v) { SetValueEx(QStringLiteral("ServerPort"), QString::number(v)); }

bool TClientConfigX::IsSSL() const { return boolValue(QStringLiteral("IsSSL"), false); }
void TClientConfigX::SetIsSSL(bool v) { setBool(QStringLiteral("IsSSL"), v); }

QString TClientConfigX::ServerBaseUrl() const
{
    return (IsSSL() ? QLatin1String("https://") : QLatin1String("http://")) + ServerHost() + QLatin1Char(':')
           + QString::number(ServerPort());
}

QString TClientConfigX::EncryptId() const
{
    if (FEncryptUserTxt.isEmpty())
        FEncryptUserTxt = DecryptText(GetValueEx(QStringLiteral("EncryptId")), MacList(), AKS_256);
    return FEncryptUserTxt;
}

void TClientConfigX::SetEncryptId(const QString &v)
{
    FEncryptUserTxt = v;
    SetValueEx(QStringLiteral("EncryptId"), EncryptText(v, MacList(), AKS_256));
}

int TClientConfigX::OwnerId2() const { return intValue(QStringLiteral("OwnerId2"), 0); }
void TClientConfigX::SetOwnerId2(int v) { SetValueEx(QStringLiteral("OwnerId2"), QString::number(v)); }
QString TClientConfigX::OwnerName() const { return GetValueEx(QStringLiteral("OwnerName")); }
void TClientConfigX::SetOwnerName(const QString &v) { SetValueEx(QStringLiteral("OwnerName"), v); }
QString TClientConfigX::LoginName() const { return GetValueEx(QStringLiteral("LoginName")); }
void TClientConfigX::SetLoginName(const QString &v) { SetValueEx(QStringLiteral("LoginName"), v); }

QString TClientConfigX::LoginPassword() const
{
    return DecryptWithAppKey(GetValueEx(QStringLiteral("LoginPassword")), AKS_256);
}
void TClientConfigX::SetLoginPassword(const QString &v)
{
    SetValueEx(QStringLiteral("LoginPassword"), EncryptWithAppKey(v, AKS_256));
}

bool TClientConfigX::AutoLogin() const { return boolValue(QStringLiteral("AutoLogin"), false); }
void TClientConfigX::SetAutoLogin(bool v) { setBool(QStringLiteral("AutoLogin"), v); }
bool TClientConfigX::SaveLoginInfo() const { return boolValue(QStringLiteral("SaveLoginInfo"), false); }
void TClientConfigX::SetSaveLoginInfo(bool v) { setBool(QStringLiteral("SaveLoginInfo"), v); }
bool TClientConfigX::SavePassword() const { return boolValue(QStringLiteral("SavePassword"), false); }
void TClientConfigX::SetSavePassword(bool v) { setBool(QStringLiteral("SavePassword"), v); }

THS_Language TClientConfigX::Language() const
{
    if (FLanguage != HSL_NONE)
        return FLanguage;
    const int v = intValue(QStringLiteral("Language"), 0);
    if (v > 0)
        FLanguage = v <= 2 ? THS_Language(v) : HSL_CN;
    else
        FLanguage = GetSystemLanguageName().contains(QStringLiteral("中文")) ? HSL_CN : HSL_ENG;
    return FLanguage;
}

// Takes effect at the next start: an answered language stays.
void TClientConfigX::SetLanguage(int v) { SetValueEx(QStringLiteral("Language"), QString::number(v)); }

TStartStyle TClientConfigX::StartStyle() const
{
    const int v = intValue(QStringLiteral("StartStyle"), 0);
    return v >= SS_NONE && v <= MODEL_EXE ? TStartStyle(v) : SS_NONE;
}
void TClientConfigX::SetStartStyle(TStartStyle v) { SetValueEx(QStringLiteral("StartStyle"), QString::number(v)); }

QString TClientConfigX::folderValue(const QString &key, const QString &sub) const
{
    QString v = GetValueEx(key);
    if (!v.isEmpty())
        v = IncludeTrailingSlash(ToLocalSeparators(v));
    else
        v = GetDocumentsFolder() + QLatin1String("KV") + QDir::separator() + sub;
    ForceFileFolder(v);
    return v;
}

QString TClientConfigX::WorkRoot() const
{
    return folderValue(QStringLiteral("WorkRoot"), QLatin1String("work") + QDir::separator());
}

void TClientConfigX::SetWorkRoot(const QString &v)
{
    SetValueEx(QStringLiteral("WorkRoot"), v);
    if (!v.isEmpty())
        ForceFileFolder(IncludeTrailingSlash(ToLocalSeparators(v)));
}

QString TClientConfigX::LastCheckoutPath() const { return folderValue(QStringLiteral("LastCheckoutPath"), QString()); }
void TClientConfigX::SetLastCheckoutPath(const QString &v) { SetValueEx(QStringLiteral("LastCheckoutPath"), v); }

QString TClientConfigX::DownloadRoot() const
{
    const QString v = GetValueEx(QStringLiteral("DownloadRoot"));
    if (v.isEmpty() || !QFileInfo(ToLocalSeparators(v)).isDir())
        return GetDocumentsFolder();
    return IncludeTrailingSlash(ToLocalSeparators(v));
}

void TClientConfigX::SetDownloadRoot(const QString &v)
{
    SetValueEx(QStringLiteral("DownloadRoot"), v);
    if (!v.isEmpty())
        ForceFileFolder(IncludeTrailingSlash(ToLocalSeparators(v)));
}

qint64 TClientConfigX::LastGroupId() const { return StrToInt64Def(GetValueEx(QStringLiteral("LastGroupId")), 0); }
QString TClientConfigX::FileExtInfo() const { return GetValueEx(QStringLiteral("FileExtInfo")); }
void TClientConfigX::SetFileExtInfo(const QString &v) { SetValueEx(QStringLiteral("FileExtInfo"), v); }

TPreviewRect TClientConfigX::PreviewRect() const
{
    const QList<qint32> n = SplitIntegers(GetValueEx(QStringLiteral("PreviewRect")) + QLatin1String(",-1,-1,-1,-1"), u',');
    TPreviewRect r;
    r.Left = n.value(0, -1) < 0 ? 100 : n.value(0);
    r.Top = n.value(1, -1) < 0 ? 100 : n.value(1);
    r.Width = n.value(2, -1) < 800 ? 800 : n.value(2);
    r.Height = n.value(3, -1) < 680 ? 680 : n.value(3);
    return r;
}

void TClientConfigX::SetPreviewRect(const TPreviewRect &r)
{
    SetValueEx(QStringLiteral("PreviewRect"), QStringLiteral("%1,%2,%3,%4").arg(r.Left).arg(r.Top).arg(r.Width).arg(r.Height));
}

TDateTime TClientConfigX::LastTimeOfViewMsg() const
{
    return ParseWireDateTimeDef(GetValueEx(QStringLiteral("LastTimeOfViewMsg")), NowDateTime() - 365);
}

void TClientConfigX::SetLastTimeOfViewMsg(TDateTime v)
{
    SetValueEx(QStringLiteral("LastTimeOfViewMsg"), FormatWireDateTime(v));
}

int TClientConfigX::EnableQR() const { return intValue(QStringLiteral("EnableQR"), 0); }
void TClientConfigX::SetEnableQR(int v) { SetValueEx(QStringLiteral("EnableQR"), QString::number(v)); }

QString TClientConfigX::dscFileName() const
{
    return QFileInfo(FConfigFileName).absolutePath() + QDir::separator() + kDscName;
}

QString TClientConfigX::dscValue(const QString &key) const
{
    return GetTagValue(ReadTextFile(dscFileName()), key);
}

void TClientConfigX::setDscValue(const QString &key, const QString &value)
{
    QString text = ReadTextFile(dscFileName());
    SetTagValue(key, neutralised(value, key, text), text);
    ForceFileFolder(dscFileName());
    WriteUnicodeTextFile(dscFileName(), text, nullptr, true);
}

bool TClientConfigX::NotShowEditGuide() const { return dscValue(QStringLiteral("NotShowEditGuide")) == QLatin1String("1"); }
void TClientConfigX::SetNotShowEditGuide(bool v)
{
    setDscValue(QStringLiteral("NotShowEditGuide"), v ? QStringLiteral("1") : QStringLiteral("0"));
}
QString TClientConfigX::LastUploadPath() const { return dscValue(QStringLiteral("LastUploadPath")); }
void TClientConfigX::SetLastUploadPath(const QString &v) { setDscValue(QStringLiteral("LastUploadPath"), v); }
bool TClientConfigX::IsIncludeRoot() const { return dscValue(QStringLiteral("IsIncludeRoot")) != QLatin1String("0"); }
void TClientConfigX::SetIsIncludeRoot(bool v)
{
    setDscValue(QStringLiteral("IsIncludeRoot"), v ? QStringLiteral("1") : QStringLiteral("0"));
}

bool TClientConfigX::OpenAfterCheckout() const { return dscValue(QStringLiteral("OpenAfterCheckout")) != QLatin1String("0"); }
void TClientConfigX::SetOpenAfterCheckout(bool v)
{
    setDscValue(QStringLiteral("OpenAfterCheckout"), v ? QStringLiteral("1") : QStringLiteral("0"));
}

QList<TScInfo> TClientConfigX::ParseScInfos(const QString &text)
{
    QList<TScInfo> out;
    for (const QString &item : SplitByChar(text, u';')) {
        const QStringList parts = SplitByChar(item, u',');
        if (parts.size() != 3 || parts.at(1).isEmpty() || parts.at(2).isEmpty())
            continue;
        TScInfo sc;
        sc.SC = quint8(StrToIntDef(parts.at(0), 0));
        sc.CnName = parts.at(1);
        sc.EngName = parts.at(2);
        out << sc;
    }
    return out;
}
