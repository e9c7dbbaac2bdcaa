#pragma once
// The scan window: pages from a scanner or a still from a camera, paged
// through, turned, scaled, stamped and uploaded into the folder a web page
// named. Pages live in TScanPages; devices behind ScannerSource/CameraSource.
#include "capture/captureupload.h"
#include "capture/scanpages.h"
#include "capture/twainuploadfrm.h"
#include "platform/camerasource.h"
#include "platform/scannersource.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QScrollArea;
class QToolButton;
class QPushButton;

class TTwainXeFrm : public QWidget
{
    Q_OBJECT
public:
    // Null sources take the platform's own; tempRoot holds the private page folders.
    TTwainXeFrm(const TServerConn &conn, qint64 ownerId2, const QString &tempRoot,
                std::unique_ptr<ScannerSource> scanner = nullptr, std::unique_ptr<CameraSource> camera = nullptr,
                QWidget *parent = nullptr);
    ~TTwainXeFrm() override;

    // Web command 21.
    void ShowUploadPanel();
    void SetUpload(qint32 ownerId, qint64 folderId, qint64 arcId);
    // Fills the camera list and the source box again.
    void VideoInit();
    void Acquire();
    // Opens the naming dialog for the pages; the result comes with uploadFinished.
    void Upload();
    void CancelScan();

    TScanPages &Pages() { return *m_pages; }
    TTwainUploadFrm *UploadFrm() const { return m_uploadFrm; }
    ScannerSource &Scanner() { return *FTwain; }
    CameraSource &Camera() { return *FVideoX; }
    bool IsScanning() const { return FTwain->IsScanning(); }
    bool WatermarkReady() const { return !m_watermark.isNull(); }
    // Each item: 1 for a scanner, 2 for a camera.
    int SourceKind(int index) const;

    // Controls, named as the users' guides name them.
    QWidget *plUpload = nullptr;
    QPushButton *sptAcquire = nullptr;
    QPushButton *spbSaveUpload = nullptr;
    QPushButton *spbCancel = nullptr;
    QComboBox *cbTwainSource = nullptr;
    QCheckBox *chbShowUI = nullptr;
    QComboBox *cbResolution = nullptr;
    QComboBox *cbMode = nullptr;
    QComboBox *cbPaperSource = nullptr;
    QComboBox *cbPageSize = nullptr;
    QToolButton *tbVideoPause = nullptr;
    QToolButton *tbLeft = nullptr;
    QToolButton *tbRight = nullptr;
    QToolButton *ToolButton2 = nullptr;
    QToolButton *tbWi = nullptr;
    QToolButton *tbHi = nullptr;
    QToolButton *tbUp = nullptr;
    QToolButton *tbDown = nullptr;
    QToolButton *tbDelete = nullptr;
    QToolButton *tbAddWatemark = nullptr;
    QToolButton *tbSaveAs = nullptr;
    QComboBox *cbVideoSize = nullptr;
    QLabel *Image1 = nullptr;
    QLabel *LabelVideo = nullptr;
    QLabel *lblPage = nullptr;
    QWidget *PPaintFrm = nullptr;

Q_SIGNALS:
    void sourcesListed();
    void optionsShown();
    void pageShown();
    void scanProgress(int percent);
    void scanEnded(bool cancelled, const QString &error);
    // The naming dialog closed; all is true when every page was stored.
    void uploadFinished(bool all);

protected:
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    enum class Fit { Actual, Width, Height };
    void fillSourceBox();
    void sourceChanged();
    void startCamera();
    void stopCamera();
    void snapshot();
    bool receivePage(const QImage &page);
    void showCurrent();
    void leaveLive();
    void updateTools();
    void fetchWatermark();
    void showOptions(const QString &device, const ScanOptions &options);
    ScanSettings settings() const;
    void uploadDialogClosed();
    void openUploadDialog();
    void setScanning(bool on);

    TServerConn m_conn;
    qint64 m_ownerId2;
    THS_Language FHS_Language;
    TCaptureTexts m_texts;
    std::unique_ptr<ScannerSource> FTwain;
    QList<ScanDevice> FTwainList;
    std::unique_ptr<CameraSource> FVideoX;
    QStringList FVideoDeviceList;
    QImage FVideoBitmap;
    std::unique_ptr<TScanPages> m_pages;
    QStringList m_stills;   // the camera's still among the pages, replaced by the next one
    QImage m_watermark;
    QPointer<TTwainUploadFrm> m_uploadFrm;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_optionsRow = nullptr;
    QPoint FClickPos;
    Fit m_fit = Fit::Actual;
    bool FIsVideo = false;
    bool FVideoActivated = false;
    int m_captureStart = 0;
    bool m_resumeLiveAfterUpload = false;
    bool m_uploadWhenWritten = false;
    quint64 m_displayGeneration = 0;   // the scaled picture last asked for

public:
    qint32 UploadOwnerId = 0;
    qint64 UploadFolderId = 0;
    qint64 ArcId = 0;
};
