#include "files/tsetfilepropertyfrm.h"

#include "files/filepropertypage.h"
#include "files/filetexts.h"
#include "platform/embeddedbrowser.h"
#include "platform/prompter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
TTSetFilePropertyFrm::BrowserFactory &appFactory()
{
    static TTSetFilePropertyFrm::BrowserFactory factory;
    return factory;
}
} // namespace

void TTSetFilePropertyFrm::SetBrowserFactory(BrowserFactory factory)
{
    appFactory() = std::move(factory);
}

QUrl TTSetFilePropertyFrm::PageUrl(const QString &serverBaseUrl)
{
    return QUrl(serverBaseUrl + QStringLiteral("/getPrtHtm?opr=page"));
}

TTSetFilePropertyFrm::TTSetFilePropertyFrm(THS_Language lang, QWidget *parent, BrowserFactory factory)
    : QDialog(parent)
    , FHS_Language(lang)
{
    setWindowTitle(LangText(lang, "设置文件属性", "Set file attributes"));
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    if (!factory)
        factory = appFactory();
    if (factory)
        m_browser = factory(this);
    btnOk = new QPushButton(LangText(lang, "确定", "Confirm"), this);
    btnOk->setDefault(true);
    btnCancel = new QPushButton(LangText(lang, "取消", "Cancel"), this);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    if (m_browser) {
        WebBrowser1 = m_browser.get();
        lblLoadError = new QLabel(this);
        lblLoadError->setWordWrap(true);
        lblLoadError->setStyleSheet(QStringLiteral("color: #c00000;"));
        lblLoadError->setAlignment(Qt::AlignCenter);
        lblLoadError->hide();
        // Shown in the page's place: the browser's own error page speaks English only.
        layout->addWidget(lblLoadError, 1);
        layout->addWidget(m_browser->Widget(), 1);
        connect(m_browser.get(), &TEmbeddedBrowser::loadFinished, this, &TTSetFilePropertyFrm::loaded);
    } else {
        QString why = EmbeddedBrowser::UnavailableReason(lang == HSL_CN);
        if (why.isEmpty() || !factory)
            why = LangText(lang, "此版本不含内嵌网页浏览器，无法设置文件属性。",
                           "This build has no embedded web browser to set file attributes.");
        m_noBrowser = new QLabel(why, this);
        m_noBrowser->setWordWrap(true);
        layout->addWidget(m_noBrowser, 1);
        btnOk->setEnabled(false);
    }
    layout->addLayout(buttons);
    resize(640, 520);

    connect(btnOk, &QPushButton::clicked, this, &TTSetFilePropertyFrm::Confirm);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TTSetFilePropertyFrm::~TTSetFilePropertyFrm() = default;

void TTSetFilePropertyFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_navigated || !m_browser)
        return;
    m_navigated = true;
    m_browser->Load(URL);
}

void TTSetFilePropertyFrm::loaded(bool ok)
{
    // Without the page its check can never agree: say why instead of a dead OK.
    lblLoadError->setText(LangText(FHS_Language, "无法从 %1 加载文件属性页面，请检查服务器地址和网络后重新打开此窗口。",
                                   "The file attribute page could not be loaded from %1. Check the server address and the "
                                   "network, then open this window again.")
                              .arg(URL.toDisplayString(QUrl::RemoveQuery)));
    lblLoadError->setVisible(!ok);
    m_browser->Widget()->setVisible(ok);
    btnOk->setEnabled(ok);
    if (!ok || !LoadParam) {
        Q_EMIT pageReady(ok);
        return;
    }
    const QStringList ids = FilePropertyPage::PropertyIds(PrtParams);
    QPointer<TTSetFilePropertyFrm> self = this;
    m_browser->RunScript(FilePropertyPage::ElementTypesScript(ids), [self, ids](const QVariant &types) {
        if (!self)
            return;
        const QString html = FilePropertyPage::HiddenInputsHtml(self->PrtParams, ids, FilePropertyPage::ParseElementTypes(types));
        self->m_browser->RunScript(FilePropertyPage::FillScript(html), [self](const QVariant &done) {
            if (self)
                Q_EMIT self->pageReady(done.isValid());
        });
    });
}

void TTSetFilePropertyFrm::Confirm()
{
    if (!m_browser || m_checking)
        return;
    m_checking = true;
    QPointer<TTSetFilePropertyFrm> self = this;
    m_browser->RunScript(FilePropertyPage::CheckScript(), [self](const QVariant &result) {
        if (!self)
            return;
        self->m_checking = false;
        QString prt;
        if (!FilePropertyPage::ParseCheck(result, prt)) {
            Q_EMIT self->checkRefused();
            return;
        }
        self->PrtParams = prt;
        self->accept();
    });
}
