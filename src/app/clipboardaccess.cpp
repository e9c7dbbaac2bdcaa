#include "app/clipboardaccess.h"

#include <QClipboard>
#include <QGuiApplication>

TSystemClipboard::TSystemClipboard()
{
    if (QClipboard *c = QGuiApplication::clipboard())
        m_changed = QObject::connect(c, &QClipboard::dataChanged, c, [this] { SystemClipboardChanged(); });
}

TSystemClipboard::~TSystemClipboard()
{
    QObject::disconnect(m_changed);
}

QString TSystemClipboard::Text()
{
    if (!m_inProcess.isEmpty())
        return m_inProcess;
    QClipboard *c = QGuiApplication::clipboard();
    return c ? c->text() : QString();
}

void TSystemClipboard::SetText(const QString &text)
{
    // Only a command text is worth keeping in-process; the "consumed" marker clears it.
    m_inProcess = text.trimmed().isEmpty() ? QString() : text;
    if (QClipboard *c = QGuiApplication::clipboard()) {
        m_settingOwn = true;
        c->setText(text);
        m_settingOwn = false;
    }
}

void TSystemClipboard::SystemClipboardChanged()
{
    if (!m_settingOwn)
        m_inProcess.clear();
}
