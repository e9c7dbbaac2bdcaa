#include "web/previewhint.h"

#include "platform/styleicons.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

TPreViewHint::TPreViewHint(THS_Language language, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
{
    setObjectName(QStringLiteral("TPreViewHint"));
    const bool cn = language == HSL_CN;
    setWindowTitle(cn ? QStringLiteral("提示") : QStringLiteral("Hint"));
    setFont(cn ? QFont(QStringLiteral("宋体"), 12) : QFont(QStringLiteral("Tahoma"), 10));
    auto *layout = new QVBoxLayout(this);
    auto *top = new QHBoxLayout;
    m_picture = new QLabel(this);
    m_picture->setPixmap(StyleIcon(QStyle::SP_MessageBoxInformation).pixmap(48, 48));
    m_picture->setAlignment(Qt::AlignTop);
    top->addWidget(m_picture);
    m_memo = new QPlainTextEdit(this);
    m_memo->setReadOnly(true);
    top->addWidget(m_memo, 1);
    layout->addLayout(top, 1);
    // A tool window may get no title-bar buttons from the desktop: it closes itself.
    btnOpenFolder = new QPushButton(cn ? QStringLiteral("打开文件夹") : QStringLiteral("Open the folder"), this);
    btnOpenFolder->hide();
    btnClose = new QPushButton(cn ? QStringLiteral("关闭") : QStringLiteral("Close"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOpenFolder);
    buttons->addWidget(btnClose);
    layout->addLayout(buttons);
    FOpenUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    connect(btnClose, &QPushButton::clicked, this, &QWidget::hide);
    connect(btnOpenFolder, &QPushButton::clicked, this, [this] {
        FOpenUrl(QUrl::fromLocalFile(m_folder));
        hide();
    });
    resize(420, 190);
}

QString TPreViewHint::Text() const
{
    return m_memo->toPlainText();
}

void TPreViewHint::OfferFolder(const QString &folder)
{
    m_folder = folder;
    m_folderPending = !folder.isEmpty();
}

void TPreViewHint::ShowText(const QString &text)
{
    ShowHint(text, 1);
}

void TPreViewHint::ShowHint(const QString &text, int picture)
{
    m_picture->setPixmap(StyleIcon(picture == 1 ? QStyle::SP_MessageBoxCritical : QStyle::SP_MessageBoxInformation)
                             .pixmap(48, 48));
    m_memo->setPlainText(text);
    btnOpenFolder->setVisible(m_folderPending);
    m_folderPending = false;
    m_picture->show();
    if (!isVisible()) {
        // Over the client's window when it shows, not in a corner of the screen.
        const QWidget *main = parentWidget() ? parentWidget()->window() : nullptr;
        if (main && main->isVisible())
            move(main->frameGeometry().center() - QPoint(width() / 2, height() / 2));
    }
    show();
    raise();
    activateWindow();
    btnClose->setFocus();
}

void TPreViewHint::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QWidget::keyPressEvent(event);
}
