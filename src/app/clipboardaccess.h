#pragma once
// The clipboard as the timer duties see it. Texts the client puts there itself
// are also kept in-process, so they work where the desktop withholds the
// clipboard from windows that are not focused.
#include <QMetaObject>
#include <QString>

class TClipboardAccess
{
public:
    virtual ~TClipboardAccess() = default;
    virtual QString Text() = 0;
    virtual void SetText(const QString &text) = 0;
};

class TSystemClipboard : public TClipboardAccess
{
public:
    TSystemClipboard();
    ~TSystemClipboard() override;
    TSystemClipboard(const TSystemClipboard &) = delete;
    TSystemClipboard &operator=(const TSystemClipboard &) = delete;

    QString Text() override;
    void SetText(const QString &text) override;
    // Another program put something on the clipboard: our own copy is older now.
    void SystemClipboardChanged();

private:
    QString m_inProcess;
    bool m_settingOwn = false;
    QMetaObject::Connection m_changed;
};
