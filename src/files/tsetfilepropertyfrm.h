#pragma once
// The server's file-property page in an embedded browser: filled with the
// current property text once loaded, and read back when the page's own check
// agrees. The browser comes from a factory the application sets, so this
// module never loads a browser engine itself.
#include "core/resultcodes.h"

#include <QDialog>
#include <QUrl>

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class TEmbeddedBrowser;

class TTSetFilePropertyFrm : public QDialog
{
    Q_OBJECT
public:
    using BrowserFactory = std::function<std::unique_ptr<TEmbeddedBrowser>(QWidget *parent)>;

    explicit TTSetFilePropertyFrm(THS_Language lang, QWidget *parent = nullptr, BrowserFactory factory = {});
    ~TTSetFilePropertyFrm() override;

    // The application's browser; without one the dialog says why and closes.
    static void SetBrowserFactory(BrowserFactory factory);
    // Server URL + "/getPrtHtm?opr=page".
    static QUrl PageUrl(const QString &serverBaseUrl);

    QUrl URL;
    QString PrtParams;
    bool LoadParam = false;
    THS_Language FHS_Language;

    TEmbeddedBrowser *WebBrowser1 = nullptr;
    QLabel *lblLoadError = nullptr;   // shown while the page could not be loaded
    QPushButton *btnOk = nullptr;
    QPushButton *btnCancel = nullptr;

    // Runs the page's check; closes with OK when the page agrees.
    void Confirm();

Q_SIGNALS:
    // The page has loaded and, with LoadParam, holds the current values.
    void pageReady(bool ok);
    // The page's check did not agree; the window stays.
    void checkRefused();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void loaded(bool ok);
    std::unique_ptr<TEmbeddedBrowser> m_browser;
    QLabel *m_noBrowser = nullptr;
    bool m_navigated = false;
    bool m_checking = false;
};
