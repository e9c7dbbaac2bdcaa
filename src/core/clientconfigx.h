#pragma once
// The client's settings and the logged-in user's identity, kept as one tag text
// ("rvc.sys") so unknown keys and key order survive every save. Setters change
// memory only; callers Save() when they want the change on disk.
#include "core/resultcodes.h"
#include "core/wiredate.h"

#include <QList>
#include <QString>

enum TStartStyle { SS_NONE = 0, SS_ACTIVTX = 1, MODEL_EXE = 2 };

struct TScInfo {
    quint8 SC = 0;
    QString CnName;
    QString EngName;
    QString Icon;
};

struct TPreviewRect {
    int Left = 100;
    int Top = 100;
    int Width = 800;
    int Height = 680;
};

class TClientConfigX
{
public:
    // Loads GetConfigFolder() + "rvc.sys"; a missing or unreadable file gives all defaults.
    TClientConfigX();
    explicit TClientConfigX(const QString &configFileName);

    // Whole text, atomically, owner-only. Errors are kept in LastSaveError(), never thrown.
    bool Save();
    QString LastSaveError() const { return FLastSaveError; }
    void Clear();

    QString GetValueEx(const QString &name) const;
    // "[Key]" and "[/Key]" of a store key inside the value are written with full-width
    // brackets, so one value never breaks another key.
    void SetValueEx(const QString &name, const QString &value);

    QString ServerHost() const;
    void SetServerHost(const QString &v);
    int ServerPort() const;
    void SetServerPort(int v);
    bool IsSSL() const;
    void SetIsSSL(bool v);
    QString ServerBaseUrl() const;

    QString EncryptId() const;
    void SetEncryptId(const QString &v);
    int OwnerId2() const;
    void SetOwnerId2(int v);
    QString OwnerName() const;
    void SetOwnerName(const QString &v);
    QString LoginName() const;
    void SetLoginName(const QString &v);
    QString LoginPassword() const;
    void SetLoginPassword(const QString &v);
    bool AutoLogin() const;
    void SetAutoLogin(bool v);
    bool SaveLoginInfo() const;
    void SetSaveLoginInfo(bool v);
    bool SavePassword() const;
    void SetSavePassword(bool v);

    THS_Language Language() const;
    void SetLanguage(int v);
    TStartStyle StartStyle() const;
    void SetStartStyle(TStartStyle v);

    QString WorkRoot() const;
    void SetWorkRoot(const QString &v);
    QString LastCheckoutPath() const;
    void SetLastCheckoutPath(const QString &v);
    QString DownloadRoot() const;
    void SetDownloadRoot(const QString &v);
    qint64 LastGroupId() const;
    QString FileExtInfo() const;
    void SetFileExtInfo(const QString &v);
    TPreviewRect PreviewRect() const;
    void SetPreviewRect(const TPreviewRect &r);
    TDateTime LastTimeOfViewMsg() const;
    void SetLastTimeOfViewMsg(TDateTime v);
    int EnableQR() const;
    void SetEnableQR(int v);

    // rvc.dsc: each read loads the file afresh, each write rewrites it at once.
    bool NotShowEditGuide() const;
    void SetNotShowEditGuide(bool v);
    QString LastUploadPath() const;
    void SetLastUploadPath(const QString &v);
    bool IsIncludeRoot() const;
    void SetIsIncludeRoot(bool v);
    // The check-out window's "open the file", as the user left it last time.
    bool OpenAfterCheckout() const;
    void SetOpenAfterCheckout(bool v);

    QList<TScInfo> FScInfos;
    static QList<TScInfo> ParseScInfos(const QString &text);

    QString ConfigFileName() const { return FConfigFileName; }
    QString ConfigText() const { return FConfigStr; }

private:
    bool boolValue(const QString &key, bool def) const;
    void setBool(const QString &key, bool v);
    int intValue(const QString &key, int def) const;
    QString folderValue(const QString &key, const QString &sub) const;
    QString dscFileName() const;
    QString dscValue(const QString &key) const;
    void setDscValue(const QString &key, const QString &value);

    QString FConfigFileName;
    QString FConfigStr;
    QString FLastSaveError;
    mutable QString FEncryptUserTxt;
    mutable THS_Language FLanguage = HSL_NONE;
};
