#include "app/noticefrms.h"

#include "core/clientconfigx.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {
QString pick(THS_Language l, const char *cn, const char *en)
{
    return l == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}
} // namespace

TMessageNoticeFrm::TMessageNoticeFrm(THS_Language language, QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TMessageNoticeFrm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(pick(language, "系统消息提醒", "Systems--message alerts"));
    setAutoFillBackground(true);
    auto *box = new QGroupBox(windowTitle(), this);
    auto *inner = new QVBoxLayout(box);
    lbView = new QLabel(QStringLiteral("<a href=\"#\">%1</a>")
                            .arg(pick(language, "您有文档消息未处理，请点击查看！", "You have some messages, please click to view!")),
                        box);
    rbHour = new QRadioButton(pick(language, "一小时内不提醒", "Not remind me within one hour"), box);
    rbDay = new QRadioButton(pick(language, "一天内不提醒", "Not remind me one today"), box);
    rbWeek = new QRadioButton(pick(language, "一周内不提醒", "Not remind me one week"), box);
    auto *close = new QPushButton(pick(language, "关闭", "Close"), box);
    close->setObjectName(QStringLiteral("btClose"));
    inner->addWidget(lbView);
    inner->addWidget(rbHour);
    inner->addWidget(rbDay);
    inner->addWidget(rbWeek);
    inner->addWidget(close, 0, Qt::AlignRight);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(box);
    resize(360, 200);

    connect(lbView, &QLabel::linkActivated, this, &TMessageNoticeFrm::viewRequested);
    connect(close, &QPushButton::clicked, this, &TMessageNoticeFrm::onClose);
    QTimer::singleShot(kLifetimeMs, this, &QWidget::close);
}

void TMessageNoticeFrm::onClose()
{
    if (rbHour->isChecked())
        Q_EMIT suppressRequested(1);
    else if (rbDay->isChecked())
        Q_EMIT suppressRequested(2);
    else if (rbWeek->isChecked())
        Q_EMIT suppressRequested(3);
    close();
}

TEditorGuideFrm::TEditorGuideFrm(TClientConfigX &config, QWidget *parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint)
    , m_config(config)
{
    setObjectName(QStringLiteral("TEditorGuideFrm"));
    setAttribute(Qt::WA_DeleteOnClose);
    const THS_Language l = config.Language();
    setWindowTitle(QStringLiteral(" "));
    setFont(l == HSL_CN ? QFont(QStringLiteral("宋体"), 10) : QFont(QStringLiteral("Tahoma"), 9));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(pick(l, "编辑提示：", "Tips:"), this));
    auto *memo = new QPlainTextEdit(this);
    memo->setReadOnly(true);
    memo->setPlainText(l == HSL_CN ? QStringLiteral("1：编辑当前打开的文档，完成编辑后保存文档。\n\n"
                                                    "2：关闭编辑文档，系统会把当前编辑的文档保存到服务器。")
                                   : QStringLiteral("1: You need save the currentlly open file after you finish editing.\n\n"
                                                    "2: The currentlly open file will be automatically saved on server "
                                                    "when you close it."));
    layout->addWidget(memo);
    chbNoMore = new QCheckBox(pick(l, "知道了，不再显示此提示窗口", "To show this guide no more"), this);
    layout->addWidget(chbNoMore);
    auto *close = new QPushButton(pick(l, "关闭", "Close"), this);
    layout->addWidget(close, 0, Qt::AlignRight);
    connect(close, &QPushButton::clicked, this, &QWidget::close);
    // Stays above the edited document.
    auto *raiser = new QTimer(this);
    connect(raiser, &QTimer::timeout, this, [this] {
        show();
        raise();
    });
    raiser->start(800);
    resize(380, 240);
}

void TEditorGuideFrm::closeEvent(QCloseEvent *event)
{
    if (chbNoMore->isChecked())
        m_config.SetNotShowEditGuide(true);
    QWidget::closeEvent(event);
}
