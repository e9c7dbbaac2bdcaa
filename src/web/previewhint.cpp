#include "web/previewhint.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStyle>

TPreViewHint::TPreViewHint(THS_Language language, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("TPreViewHint"));
    const bool cn = language == HSL_CN;
    setWindowTitle(cn ? QStringLiteral("提示") : QStringLiteral("Hint"));
    setFont(cn ? QFont(QStringLiteral("宋体"), 12) : QFont(QStringLiteral("Tahoma"), 10));
    auto *layout = new QHBoxLayout(this);
    m_picture = new QLabel(this);
    m_picture->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(48, 48));
    m_picture->setAlignment(Qt::AlignTop);
    layout->addWidget(m_picture);
    m_memo = new QPlainTextEdit(this);
    m_memo->setReadOnly(true);
    layout->addWidget(m_memo, 1);
    resize(420, 160);
}

QString TPreViewHint::Text() const
{
    return m_memo->toPlainText();
}

void TPreViewHint::ShowText(const QString &text)
{
    m_memo->setPlainText(text);
    m_picture->show();
    show();
    raise();
    activateWindow();
}
