#pragma once
// The clipboard as the timer duties see it. Texts the client puts there itself
// are also kept in-process, so they work where the desktop withholds the
// clipboard from windows that are not focused.
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
    QString Text() override;
    void SetText(const QString &text) override;

private:
    QString m_inProcess;
};
