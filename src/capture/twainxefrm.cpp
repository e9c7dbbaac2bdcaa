#include "capture/twainxefrm.h"

#include "capture/capturelogic.h"
#include "capture/logging.h"
#include "capture/twainuploadfrm.h"
#include "core/workpools.h"
#include "files/filetexts.h"
#include "net/sslhttp.h"
#include "net/webendpoints.h"
#include "platform/prompter.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <utility>

namespace {
constexpr int kWatermarkTimeoutMs = 600;
constexpr int kScannerItem = 1;
constexpr int kCameraItem = 2;

// Draws the camera's latest frame at the top left, scaled down to fit.
class TPaintFrame : public QWidget
{
public:
    explicit TPaintFrame(QWidget *parent) : QWidget(parent) { setAutoFillBackground(true); }
    QImage Frame;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        if (!Frame.isNull())
            p.drawImage(CaptureLogic::FrameRect(Frame.size(), size()), Frame);
    }
};
} // namespace

TTwainXeFrm::TTwainXeFrm(const TServerConn &conn, qint64 ownerId2, const QString &tempRoot,
                         std::unique_ptr<ScannerSource> scanner, std::unique_ptr<CameraSource> camera,
                         QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_conn(conn)
    , m_ownerId2(ownerId2)
    , FHS_Language(conn.Language)
    , m_texts(conn.Language)
    , FTwain(scanner ? std::move(scanner) : ScannerSource::CreateDefault())
    , FVideoX(camera ? std::move(camera) : CameraSource::CreateDefault())
    , m_pages(std::make_unique<TScanPages>(tempRoot))
{
    connect(m_pages.get(), &TScanPages::currentChanged, this, &TTwainXeFrm::showCurrent);
    connect(m_pages.get(), &TScanPages::writeFailed, this, [this](const QString &error) {
        qCWarning(lcCapture).noquote() << error;
        m_uploadWhenWritten = false;
        showCurrent();
        TPrompter::Instance().Error(this, m_texts.WLS_Hint,
                                    LangText(FHS_Language, "扫描页未能保存到磁盘：", "A scanned page could not be kept on disk: ")
                                        + error);
    });
    connect(m_pages.get(), &TScanPages::written, this, [this] {
        if (std::exchange(m_uploadWhenWritten, false))
            openUploadDialog();
    });
    const THS_Language lang = FHS_Language;
    setObjectName(QStringLiteral("TTwainXeFrm"));
    setWindowTitle(m_texts.WLS_Caption);
    setFont(QFont(lang == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    plUpload = new QWidget(this);
    sptAcquire = new QPushButton(LangText(lang, "  开始扫描  ", "Acquire"), plUpload);
    spbSaveUpload = new QPushButton(LangText(lang, "保存并上传文件    ", "Save and upload"), plUpload);
    spbCancel = new QPushButton(LangText(lang, "取消  ", "Cancel"), plUpload);
    auto *panel = new QHBoxLayout(plUpload);
    panel->setContentsMargins(4, 4, 4, 4);
    panel->addWidget(sptAcquire);
    panel->addWidget(spbSaveUpload);
    panel->addWidget(spbCancel);
    panel->addStretch();
    plUpload->hide();

    auto tool = [this](const char *cn, const char *en) {
        auto *b = new QToolButton(this);
        b->setText(LangText(FHS_Language, cn, en));
        b->setToolTip(b->text());
        b->setAutoRaise(true);
        return b;
    };
    cbTwainSource = new QComboBox(this);
    cbTwainSource->setPlaceholderText(QStringLiteral("选择扫描仪..."));
    cbTwainSource->setMinimumContentsLength(18);
    chbShowUI = new QCheckBox(m_texts.WLS_ShowUI, this);
    chbShowUI->setToolTip(m_texts.WLS_ShowUI);
    chbShowUI->setChecked(true);
    chbShowUI->hide();
    tbVideoPause = tool("暂停", "Pause");
    tbVideoPause->hide();
    tbLeft = tool("左转", "Rotate left");
    tbRight = tool("右转", "Rotate right");
    ToolButton2 = tool("实际大小", "Actual size");
    tbWi = tool("适合宽度", "Fit width");
    tbHi = tool("适合高度", "Fit height");
    tbUp = tool("上一页", "Previous");
    tbDown = tool("下一页", "Next");
    tbUp->hide();
    tbDown->hide();
    tbDelete = tool("删除本页", "Delete page");
    tbAddWatemark = tool("", "");
    tbAddWatemark->setToolTip(m_texts.WLS_AddWatermark);
    tbAddWatemark->setText(m_texts.WLS_AddWatermark);
    tbAddWatemark->hide();
    tbSaveAs = tool("", "");
    tbSaveAs->setText(m_texts.WLS_SaveAs);
    tbSaveAs->setToolTip(m_texts.WLS_SaveAs);
    tbSaveAs->hide();
    cbVideoSize = new QComboBox(this);
    cbVideoSize->setPlaceholderText(QStringLiteral("选择尺寸..."));
    cbVideoSize->hide();
    // The source and its switches above the page tools, so both fit the window's width.
    auto *sources = new QHBoxLayout;
    sources->setSpacing(4);
    sources->addWidget(cbTwainSource);
    sources->addWidget(chbShowUI);
    sources->addWidget(cbVideoSize);
    sources->addStretch();
    auto *bar = new QHBoxLayout;
    bar->setSpacing(2);
    for (QWidget *w : std::initializer_list<QWidget *>{tbVideoPause, tbLeft, tbRight, ToolButton2, tbWi, tbHi, tbUp,
                                                       tbDown, tbDelete, tbAddWatemark, tbSaveAs})
        bar->addWidget(w);
    bar->addStretch();

    // What SANE offers in place of a device's own dialog.
    m_optionsRow = new QWidget(this);
    cbResolution = new QComboBox(m_optionsRow);
    cbMode = new QComboBox(m_optionsRow);
    cbPaperSource = new QComboBox(m_optionsRow);
    cbPageSize = new QComboBox(m_optionsRow);
    auto *opts = new QHBoxLayout(m_optionsRow);
    opts->setContentsMargins(0, 0, 0, 0);
    opts->addWidget(new QLabel(LangText(lang, "分辨率：", "Resolution:"), m_optionsRow));
    opts->addWidget(cbResolution);
    opts->addWidget(new QLabel(LangText(lang, "颜色：", "Colour:"), m_optionsRow));
    opts->addWidget(cbMode);
    opts->addWidget(new QLabel(LangText(lang, "进纸：", "Paper source:"), m_optionsRow));
    opts->addWidget(cbPaperSource);
    opts->addWidget(new QLabel(LangText(lang, "纸张：", "Page size:"), m_optionsRow));
    opts->addWidget(cbPageSize);
    opts->addStretch();
    m_optionsRow->hide();

    m_scroll = new QScrollArea(this);
    m_scroll->setBackgroundRole(QPalette::Window);
    m_scroll->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto *canvas = new QWidget;
    canvas->setAutoFillBackground(true);
    canvas->setPalette(pal);
    Image1 = new QLabel(canvas);
    Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Image1->setCursor(Qt::OpenHandCursor);
    Image1->installEventFilter(this);
    LabelVideo = new QLabel(m_texts.WLS_TwainInit, canvas);
    LabelVideo->move(20, 20);
    LabelVideo->hide();
    m_scroll->setWidget(canvas);
    m_scroll->setWidgetResizable(false);
    PPaintFrm = new TPaintFrame(this);
    PPaintFrm->hide();
    lblPage = new QLabel(this);

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(4, 0, 4, 4);
    root->addWidget(plUpload);
    root->addLayout(sources);
    root->addLayout(bar);
    root->addWidget(m_optionsRow);
    root->addWidget(m_scroll, 1);
    root->addWidget(PPaintFrm, 1);
    root->addWidget(lblPage);
    resize(858, 693);

    connect(sptAcquire, &QPushButton::clicked, this, [this] {
        if (FTwain->IsScanning())
            CancelScan();
        else
            Acquire();
    });
    connect(spbSaveUpload, &QPushButton::clicked, this, &TTwainXeFrm::Upload);
    connect(spbCancel, &QPushButton::clicked, this, &QWidget::close);
    connect(cbTwainSource, &QComboBox::currentIndexChanged, this, &TTwainXeFrm::sourceChanged);
    connect(chbShowUI, &QCheckBox::toggled, m_optionsRow, &QWidget::setVisible);
    connect(cbVideoSize, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (i >= 0)
            FVideoX->SetSize(i);
    });
    connect(tbVideoPause, &QToolButton::clicked, this, [this] {
        if (!FVideoX->IsRunning())
            return;
        if (!FVideoX->IsPaused()) {
            snapshot();
            FVideoX->Pause();
            PPaintFrm->hide();
            m_scroll->show();
            tbVideoPause->setText(LangText(FHS_Language, "继续", "Play"));
        } else {
            m_scroll->hide();
            PPaintFrm->show();
            tbVideoPause->setText(LangText(FHS_Language, "暂停", "Pause"));
            FVideoX->Resume();
        }
    });
    connect(tbUp, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->Up())
            showCurrent();
    });
    connect(tbDown, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->Down())
            showCurrent();
    });
    connect(tbLeft, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->RotateLeft())
            showCurrent();
    });
    connect(tbRight, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->RotateRight())
            showCurrent();
    });
    connect(ToolButton2, &QToolButton::clicked, this, [this] {
        leaveLive();
        m_fit = Fit::Actual;
        showCurrent();
    });
    connect(tbWi, &QToolButton::clicked, this, [this] {
        leaveLive();
        m_fit = Fit::Width;
        showCurrent();
    });
    connect(tbHi, &QToolButton::clicked, this, [this] {
        leaveLive();
        m_fit = Fit::Height;
        showCurrent();
    });
    connect(tbDelete, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->DeleteCurrent())
            showCurrent();
    });
    connect(tbAddWatemark, &QToolButton::clicked, this, [this] {
        leaveLive();
        const bool on = m_pages->ToggleWatermark(m_watermark);
        tbAddWatemark->setText(on ? m_texts.WLS_OrigPic : m_texts.WLS_AddWatermark);
        showCurrent();
    });
    connect(tbSaveAs, &QToolButton::clicked, this, [this] {
        leaveLive();
        if (m_pages->Current().isNull())
            return;
        QString filter;
        const QString name = QFileDialog::getSaveFileName(this, m_texts.WLS_SaveAs, QString(),
                                                          QStringLiteral("JPEG Image File (*.jpg);;Bitmaps (*.bmp)"),
                                                          &filter);
        if (name.isEmpty())
            return;
        const bool bmp = filter.startsWith(QLatin1String("Bitmaps"));
        QString target = name;
        if (QFileInfo(target).suffix().isEmpty())
            target += bmp ? QLatin1String(".bmp") : QLatin1String(".jpg");
        const QImage page = m_pages->Current();
        RunOnPool(TransferPool(), this, [page, target, bmp] { return page.save(target, bmp ? "bmp" : "jpeg"); },
                  [this, target](bool saved) {
                      if (!saved)
                          TPrompter::Instance().Error(this, m_texts.WLS_Hint,
                                                      LangText(FHS_Language, "无法写入 %1", "Cannot write %1").arg(target));
                  });
        raise();
        activateWindow();
    });

    connect(FTwain.get(), &ScannerSource::devicesListed, this, [this](const QList<ScanDevice> &devices) {
        FTwainList = devices;
        fillSourceBox();
        Q_EMIT sourcesListed();
    });
    connect(FTwain.get(), &ScannerSource::optionsRead, this, &TTwainXeFrm::showOptions);
    connect(FTwain.get(), &ScannerSource::pageScanned, this, &TTwainXeFrm::receivePage);
    connect(FTwain.get(), &ScannerSource::scanProgress, this, [this](int percent) {
        lblPage->setText(LangText(FHS_Language, "正在扫描 %1%", "Scanning %1%").arg(percent));
        Q_EMIT scanProgress(percent);
    });
    connect(FTwain.get(), &ScannerSource::scanFinished, this, [this](bool cancelled, const QString &error) {
        setScanning(false);
        updateTools();
        if (!cancelled && !error.isEmpty())
            TPrompter::Instance().Error(this, m_texts.WLS_Hint, error);
        Q_EMIT scanEnded(cancelled, error);
    });
    connect(FVideoX.get(), &CameraSource::frameReady, this, [this] {
        auto *paint = static_cast<TPaintFrame *>(PPaintFrm);
        paint->Frame = FVideoX->LatestFrame();
        PPaintFrm->update();
    });

    FTwain->ListDevices();
    fetchWatermark();
    updateTools();
}

TTwainXeFrm::~TTwainXeFrm()
{
    FTwain->Cancel();
    stopCamera();
    // The page folder goes with m_pages.
}

void TTwainXeFrm::ShowUploadPanel() { plUpload->show(); }

void TTwainXeFrm::SetUpload(qint32 ownerId, qint64 folderId, qint64 arcId)
{
    UploadOwnerId = ownerId;
    UploadFolderId = folderId;
    ArcId = arcId;
}

int TTwainXeFrm::SourceKind(int index) const { return cbTwainSource->itemData(index).toInt(); }

void TTwainXeFrm::fetchWatermark()
{
    const QString url = WebEndpoints::Watermark(m_conn.BaseUrl());
    const bool ssl = m_conn.SSL;
    RunOnPool(RequestPool(), this, [url, ssl] {
        QByteArray body;
        if (!TSSLHttp(ssl).Get(url, kWatermarkTimeoutMs, &body, nullptr, 16 * 1024 * 1024))
            return QImage();
        return QImage::fromData(body);
    }, [this](const QImage &img) {
        m_watermark = img;
        tbAddWatemark->setVisible(!img.isNull());
        updateTools();
    });
}

void TTwainXeFrm::VideoInit()
{
    FVideoDeviceList = FVideoX->Devices();
    fillSourceBox();
}

void TTwainXeFrm::fillSourceBox()
{
    const QSignalBlocker block(cbTwainSource);
    const QString chosen = cbTwainSource->currentText();
    cbTwainSource->clear();
    for (const ScanDevice &d : std::as_const(FTwainList))
        cbTwainSource->addItem(d.Product.isEmpty() ? d.Name : d.Product + QLatin1String(" (") + d.Name + u')',
                               kScannerItem);
    for (const QString &d : std::as_const(FVideoDeviceList))
        cbTwainSource->addItem(d, kCameraItem);
    cbTwainSource->setCurrentIndex(cbTwainSource->findText(chosen));
}

void TTwainXeFrm::sourceChanged()
{
    const int i = cbTwainSource->currentIndex();
    if (i < 0)
        return;
    FIsVideo = SourceKind(i) == kCameraItem;
    if (FIsVideo) {
        chbShowUI->hide();
        m_optionsRow->hide();
        tbVideoPause->show();
        FVideoActivated = false;
        startCamera();
        FVideoActivated = true;
        return;
    }
    tbVideoPause->hide();
    cbVideoSize->hide();
    chbShowUI->show();
    m_optionsRow->setVisible(chbShowUI->isChecked());
    PPaintFrm->hide();
    m_scroll->show();
    stopCamera();
    FTwain->ReadOptions(FTwainList.value(i).Name);
}

void TTwainXeFrm::showOptions(const QString &device, const ScanOptions &o)
{
    const int i = cbTwainSource->currentIndex();
    if (i < 0 || SourceKind(i) != kScannerItem || FTwainList.value(i).Name != device)
        return;  // an answer for a source no longer chosen
    const QString deviceDefault = LangText(FHS_Language, "默认", "Default");
    auto fill = [&deviceDefault](QComboBox *box, const QStringList &items, const QString &preferred) {
        box->clear();
        box->addItem(deviceDefault, QString());
        for (const QString &s : items)
            box->addItem(s, s);
        const int at = box->findData(preferred);
        box->setCurrentIndex(at < 0 ? 0 : at);
        box->setEnabled(!items.isEmpty());
    };
    QStringList resolutions;
    for (int r : o.Resolutions)
        resolutions << QString::number(r);
    fill(cbResolution, resolutions, QStringLiteral("150"));
    fill(cbMode, o.Modes, o.Modes.contains(QLatin1String("Color")) ? QStringLiteral("Color") : QString());
    fill(cbPaperSource, o.Sources, QString());
    fill(cbPageSize, o.PageSizes, QString());
    Q_EMIT optionsShown();
}

ScanSettings TTwainXeFrm::settings() const
{
    ScanSettings s;
    s.Resolution = cbResolution->currentData().toString().toInt();
    s.Mode = cbMode->currentData().toString();
    s.Source = cbPaperSource->currentData().toString();
    s.PageSize = cbPageSize->currentData().toString();
    return s;
}

void TTwainXeFrm::startCamera()
{
    const int i = cbTwainSource->currentIndex();
    if (i < 0)
        return;
    m_scroll->hide();
    LabelVideo->show();
    PPaintFrm->show();
    if (!FVideoX->IsRunning()) {
        FVideoX->Start(cbTwainSource->itemText(i));
        const QSignalBlocker block(cbVideoSize);
        cbVideoSize->clear();
        const QStringList sizes = FVideoX->Sizes();
        cbVideoSize->addItems(sizes);
        cbVideoSize->show();
        const int chosen = CaptureLogic::ChooseCameraSize(sizes);
        cbVideoSize->setCurrentIndex(chosen);
        if (chosen >= 0)
            FVideoX->SetSize(chosen);
    }
    if (FVideoX->IsPaused())
        FVideoX->Resume();
    LabelVideo->hide();
}

void TTwainXeFrm::stopCamera()
{
    // Also a camera that is still starting: the device is released either way.
    if (FVideoX)
        FVideoX->Stop();
    FVideoActivated = false;
}

void TTwainXeFrm::Acquire()
{
    const int count = cbTwainSource->count();
    if (count == 0) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NoFindTwain);
        return;
    }
    const int item = CaptureLogic::AcquireItem(count, cbTwainSource->currentIndex());
    if (item < 0) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_SelectedTwain);
        return;
    }
    if (item != cbTwainSource->currentIndex())
        cbTwainSource->setCurrentIndex(item);
    FIsVideo = SourceKind(item) == kCameraItem;
    if (FIsVideo) {
        if (!FVideoActivated) {
            startCamera();
            FVideoActivated = true;
        }
        return;
    }
    if (FTwain->IsScanning())
        return;
    PPaintFrm->hide();
    m_scroll->show();
    // Pages of an earlier scan stay beside the new ones until they are uploaded or deleted.
    m_captureStart = m_pages->Count();
    setScanning(true);
    FTwain->Scan(FTwainList.value(item).Name, settings());
}

void TTwainXeFrm::CancelScan() { FTwain->Cancel(); }

void TTwainXeFrm::setScanning(bool on)
{
    sptAcquire->setText(on ? LangText(FHS_Language, "  停止扫描  ", "Stop")
                           : LangText(FHS_Language, "  开始扫描  ", "Acquire"));
    spbSaveUpload->setEnabled(!on);
    cbTwainSource->setEnabled(!on);
    m_optionsRow->setEnabled(!on);
}

bool TTwainXeFrm::receivePage(const QImage &page)
{
    QString error;
    // The page is written on a worker; a failure comes back as writeFailed.
    if (!m_pages->Add(page, &error)) {
        qCWarning(lcCapture).noquote() << error;
        TPrompter::Instance().Error(this, m_texts.WLS_Hint, error);
        return false;
    }
    // The first page of each capture is the one shown.
    if (m_pages->Count() == m_captureStart + 1)
        m_pages->Show(m_captureStart);
    showCurrent();
    return true;
}

void TTwainXeFrm::snapshot()
{
    FVideoBitmap = FVideoX->LatestFrame();
    if (FVideoBitmap.isNull())
        return;
    // A new still replaces the camera's earlier one; scanned pages not yet
    // uploaded stay beside it.
    m_pages->Remove(m_stills);
    m_stills.clear();
    m_captureStart = m_pages->Count();
    if (receivePage(FVideoBitmap))
        m_stills << m_pages->Files().value(m_pages->Count() - 1);
}

void TTwainXeFrm::leaveLive()
{
    if (FVideoX->IsRunning() && !FVideoX->IsPaused())
        FVideoX->Pause();
    PPaintFrm->hide();
    LabelVideo->hide();
    m_scroll->show();
}

void TTwainXeFrm::showCurrent()
{
    const QImage &img = m_pages->Current();
    if (img.isNull()) {
        ++m_displayGeneration;
        Image1->clear();
        Image1->resize(0, 0);
    } else {
        QSize size = img.size();
        const QSize area = m_scroll->viewport()->size();
        if (m_fit == Fit::Width && img.width() > 0)
            size = QSize(area.width() - 20, qRound(double(img.height()) * (area.width() - 20) / img.width()));
        else if (m_fit == Fit::Height && img.height() > 0)
            size = QSize(qRound(double(img.width()) * (area.height() - 20) / img.height()), area.height() - 20);
        const quint64 generation = ++m_displayGeneration;
        if (size == img.size()) {
            Image1->setPixmap(QPixmap::fromImage(img));
        } else {
            // Scaling a full page smoothly takes long: on a worker, and only the latest is shown.
            RunOnPool(RequestPool(), this,
                      [img, size] { return img.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); },
                      [this, generation](const QImage &scaled) {
                          if (generation == m_displayGeneration)
                              Image1->setPixmap(QPixmap::fromImage(scaled));
                      });
        }
        Image1->resize(size);
        Image1->move(10, 10);
    }
    m_scroll->widget()->resize(Image1->width() + 20, Image1->height() + 20);
    tbAddWatemark->setText(m_pages->WatermarkOn() ? m_texts.WLS_OrigPic : m_texts.WLS_AddWatermark);
    updateTools();
    Q_EMIT pageShown();
}

void TTwainXeFrm::updateTools()
{
    const int n = m_pages->Count(), i = m_pages->Index();
    const bool any = n > 0;
    tbSaveAs->setVisible(any);
    tbAddWatemark->setEnabled(any && !m_watermark.isNull());
    tbUp->setVisible(n > 1);
    tbDown->setVisible(n > 1);
    tbUp->setEnabled(i > 0);
    tbDown->setEnabled(i >= 0 && i < n - 1);
    for (QToolButton *b : {tbLeft, tbRight, ToolButton2, tbWi, tbHi, tbDelete})
        b->setEnabled(any);
    lblPage->setText(any ? LangText(FHS_Language, "第 %1 页，共 %2 页", "Page %1 of %2").arg(i + 1).arg(n) : QString());
}

void TTwainXeFrm::Upload()
{
    if (m_uploadFrm)
        return;
    m_resumeLiveAfterUpload = false;
    if (FIsVideo) {
        if (!FVideoActivated)
            return;
        if (FVideoX->IsRunning() && !FVideoX->IsPaused()) {
            snapshot();
            FVideoX->Pause();
            PPaintFrm->hide();
            m_scroll->show();
            m_resumeLiveAfterUpload = true;
        }
    }
    if (m_pages->Count() == 0) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_NoImageFile);
        return;
    }
    // The dialog reads the page files: it opens once the last of them is written.
    if (m_pages->IsWriting()) {
        m_uploadWhenWritten = true;
        return;
    }
    openUploadDialog();
}

void TTwainXeFrm::openUploadDialog()
{
    if (m_uploadFrm || m_pages->Count() == 0)
        return;
    m_uploadFrm = new TTwainUploadFrm(m_conn, m_ownerId2, this);
    m_uploadFrm->setAttribute(Qt::WA_DeleteOnClose);
    m_uploadFrm->SetArcId2(ArcId);
    m_uploadFrm->SetPages(m_pages->Files(), UploadOwnerId, UploadFolderId);
    connect(m_uploadFrm, &QDialog::finished, this, &TTwainXeFrm::uploadDialogClosed);
    m_uploadFrm->open();
}

void TTwainXeFrm::uploadDialogClosed()
{
    auto *dialog = qobject_cast<TTwainUploadFrm *>(sender());
    if (!dialog)
        return;
    m_uploadFrm = nullptr;   // it goes later; a new upload may start now
    if (!dialog->IsOver()) {
        // Nothing was sent: the live picture comes back.
        if (m_resumeLiveAfterUpload) {
            m_scroll->hide();
            PPaintFrm->show();
            FVideoX->Resume();
        }
        return;
    }
    // The picture to send was taken: the camera is released until it is asked for again.
    if (FIsVideo)
        stopCamera();
    QStringList stored, failed;
    for (const TScanUploadPage &p : dialog->Results()) {
        if (p.Stored())
            stored << p.PagePath;
        else
            failed << p.UploadName + QLatin1String(": ") + p.Error;
    }
    // Stored pages leave; the others stay here for another try.
    m_pages->Remove(stored);
    showCurrent();
    const bool all = failed.isEmpty();
    if (all) {
        TPrompter::Instance().Info(this, m_texts.WLS_Hint, m_texts.WLS_Over);
        hide();
    } else {
        TPrompter::Instance().Error(this, m_texts.WLS_Hint,
                                    LangText(FHS_Language, "以下页面未能上传，仍保留在窗口中：",
                                             "These pages were not uploaded and stay in the window:")
                                        + u'\n' + failed.join(u'\n'));
    }
    Q_EMIT uploadFinished(all);
}

void TTwainXeFrm::closeEvent(QCloseEvent *event)
{
    // Closing only hides: the window is kept for the next command, the camera is not.
    FTwain->Cancel();
    stopCamera();
    event->ignore();
    hide();
}

bool TTwainXeFrm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Image1) {
        if (event->type() == QEvent::MouseButtonPress) {
            auto *e = static_cast<QMouseEvent *>(event);
            if (e->button() == Qt::LeftButton)
                FClickPos = e->globalPosition().toPoint();
        } else if (event->type() == QEvent::MouseMove) {
            auto *e = static_cast<QMouseEvent *>(event);
            if (e->buttons() & Qt::LeftButton) {
                // Dragging the picture moves the view over it.
                const QPoint now = e->globalPosition().toPoint();
                const QPoint d = now - FClickPos;
                FClickPos = now;
                m_scroll->horizontalScrollBar()->setValue(m_scroll->horizontalScrollBar()->value() - d.x());
                m_scroll->verticalScrollBar()->setValue(m_scroll->verticalScrollBar()->value() - d.y());
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}
