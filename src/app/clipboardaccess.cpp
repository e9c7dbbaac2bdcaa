#include "app/clipboardaccess.h"

#include <QClipboard>
#include <QGuiApplication>

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
    if (QClipboard *c = QGuiApplication::clipboard())
        c->setText(text);
}
