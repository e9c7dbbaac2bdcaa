#include "app/arvoclientfrm.h"

#include "app/logging.h"
#include "core/clientconfigx.h"
#include "core/wmessages.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTime>
#include <QVBoxLayout>

TARVOClientFrm::TARVOClientFrm(TClientConfigX &config, QWidget *parent)
    : QWidget(parent)
    , m_config(config)
{
    setObjectName(QStringLiteral("TARVOClientFrm"));
    const bool cn = m_config.Language() == HSL_CN;
    setWindowTitle(cn ? QStringLiteral("Kelvo文档管理客户端") : QStringLiteral("KelVo Client"));
    resize(800, 640);

    auto *layout = new QVBoxLayout(this);
    m_welcome = new QLabel(this);
    const QString server = m_config.ServerHost().isEmpty() ? (cn ? QStringLiteral("（未设置）") : QStringLiteral("(not set)"))
                                                           : m_config.ServerBaseUrl();
    m_welcome->setText((cn ? QStringLiteral("服务器：") : QStringLiteral("Server: ")) + server);
    layout->addWidget(m_welcome);
    m_events = new QPlainTextEdit(this);
    m_events->setReadOnly(true);
    m_events->setObjectName(QStringLiteral("events"));
    layout->addWidget(m_events);
}

void TARVOClientFrm::handleMessage(int number, qint64 wParam, qint64 lParam)
{
    qCDebug(lcApp) << "message" << number << wParam << lParam;
    m_events->appendPlainText(QStringLiteral("%1  %2 %3 %4").arg(QTime::currentTime().toString(), QString::number(number),
                                                                  QString::number(wParam), QString::number(lParam)));
    switch (number) {
    case wm::TrayIcon: UMTrayIcon(lParam); break;
    case wm::BringToFront: UMBringToFront(); break;
    case wm::Exit: QApplication::quit(); break;
    default: break;
    }
}

void TARVOClientFrm::UMTrayIcon(qint64 lParam)
{
    if (lParam != wm::LeftButtonDown)
        return;
    if (isMinimized())
        showNormal();
    else
        show();
}

void TARVOClientFrm::UMBringToFront()
{
    show();
    raise();
    activateWindow();
    // Desktops that refuse focus stealing still flag the window for attention.
    QApplication::alert(this);
}
