#include "batchui/taskaddfrm.h"

#include "core/folders.h"
#include "files/fileviewfrm.h"
#include "files/getpathfrm.h"
#include "files/selectfolderfrm.h"
#include "files/selectownerfrm.h"
#include "files/setfiletypefrm.h"
#include "files/tsetfilepropertyfrm.h"
#include "platform/prompter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>
#include <QVBoxLayout>

TTaskAddFrm::TTaskAddFrm(TClientConfigX &config, THS_Language language, const QString &indexFolder, QWidget *parent)
    : QDialog(parent)
    , m_config(config)
    , FHS_Language(language == HSL_CN ? HSL_CN : HSL_ENG)
    , m_texts(FHS_Language)
    , m_ctx(TTaskAddContext::FromConfig(config))
    , m_indexFolder(indexFolder)
{
    setObjectName(QStringLiteral("TTaskAddFrm"));
    setFont(QFont(FHS_Language == HSL_ENG ? QStringLiteral("Tahoma") : QStringLiteral("宋体"), 9));
    setWindowTitle(t("文件传输条件设置", " File transfer conditions settings "));
    FNewTaskInfo.Id = -1;
    buildUi();
    fillClassifications();
    installDefaultPickers();
}

TTaskAddFrm::~TTaskAddFrm() = default;

QString TTaskAddFrm::t(const char *cn, const char *en) const
{
    return QString::fromUtf8(FHS_Language == HSL_CN ? cn : en);
}

void TTaskAddFrm::buildUi()
{
    auto *root = new QVBoxLayout(this);
    lbStyle = new QLabel(this);
    lbStyle->setObjectName(QStringLiteral("lbStyle"));
    QFont bold = lbStyle->font();
    bold.setBold(true);
    bold.setPointSize(bold.pointSize() + 2);
    lbStyle->setFont(bold);
    root->addWidget(lbStyle);

    auto *cond = new QGroupBox(t(" 文件批量传输条件设置：", " File bulk transfer conditions settings "), this);
    auto *g = new QGridLayout(cond);
    auto named = [](QWidget *w, const char *name) {
        w->setObjectName(QLatin1String(name));
        return w;
    };
    m_sourceLabel = new QLabel(cond);
    edtSourceFolderName = new QLineEdit(cond);
    named(edtSourceFolderName, "edtSourceFolderName");
    edtSourceFolderName->installEventFilter(this);
    BitBtn2 = new QPushButton(QStringLiteral("..."), cond);
    named(BitBtn2, "BitBtn2");
    g->addWidget(m_sourceLabel, 0, 0);
    g->addWidget(edtSourceFolderName, 0, 1, 1, 3);
    g->addWidget(BitBtn2, 0, 4);
    m_targetLabel = new QLabel(cond);
    edtDestFolderName = new QLineEdit(cond);
    named(edtDestFolderName, "edtDestFolderName");
    BitBtn3 = new QPushButton(QStringLiteral("..."), cond);
    named(BitBtn3, "BitBtn3");
    g->addWidget(m_targetLabel, 1, 0);
    g->addWidget(edtDestFolderName, 1, 1, 1, 3);
    g->addWidget(BitBtn3, 1, 4);

    chbDateRng = new QCheckBox(t("文件修改时间：", "Modify time:"), cond);
    named(chbDateRng, "chbDateRng");
    dtpMinDate = new QDateEdit(QDate::currentDate(), cond);
    dtpMaxDate = new QDateEdit(QDate::currentDate(), cond);
    named(dtpMinDate, "dtpMinDate");
    named(dtpMaxDate, "dtpMaxDate");
    for (QDateEdit *d : {dtpMinDate, dtpMaxDate}) {
        d->setCalendarPopup(true);
        d->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    g->addWidget(chbDateRng, 2, 0);
    g->addWidget(dtpMinDate, 2, 1);
    g->addWidget(new QLabel(QStringLiteral("-"), cond), 2, 2, Qt::AlignCenter);
    g->addWidget(dtpMaxDate, 2, 3);

    chbSize = new QCheckBox(t("文件大小：", "File size:"), cond);
    named(chbSize, "chbSize");
    edtMinSize = new QLineEdit(cond);
    edtMaxSize = new QLineEdit(cond);
    named(edtMinSize, "edtMinSize");
    named(edtMaxSize, "edtMaxSize");
    g->addWidget(chbSize, 3, 0);
    g->addWidget(edtMinSize, 3, 1);
    g->addWidget(new QLabel(QStringLiteral("-"), cond), 3, 2, Qt::AlignCenter);
    g->addWidget(edtMaxSize, 3, 3);
    g->addWidget(new QLabel(QStringLiteral("KB"), cond), 3, 4);

    edtFileType = new QLineEdit(QStringLiteral("*.*"), cond);
    named(edtFileType, "edtFileType");
    bbtSelType = new QPushButton(QStringLiteral("..."), cond);
    named(bbtSelType, "bbtSelType");
    g->addWidget(new QLabel(t("文件类型：", "File type:"), cond), 4, 0);
    g->addWidget(edtFileType, 4, 1, 1, 3);
    g->addWidget(bbtSelType, 4, 4);

    cbFileSC = new QComboBox(cond);
    named(cbFileSC, "cbFileSC");
    g->addWidget(new QLabel(t("文件密级： ", "Security grade:"), cond), 5, 0);
    g->addWidget(cbFileSC, 5, 1, 1, 3);

    cbSubFolder = new QCheckBox(t("包含子目录", "include subdirectories"), cond);
    named(cbSubFolder, "cbSubFolder");
    cbkIncludeRoot = new QCheckBox(t("源文件夹创建为(目标文件夹的)子文件夹", "Source folder as a sub-folder of target folder"), cond);
    named(cbkIncludeRoot, "cbkIncludeRoot");
    g->addWidget(cbSubFolder, 6, 0);
    g->addWidget(cbkIncludeRoot, 6, 1, 1, 4);

    cbxFilePrt = new QCheckBox(t("文件属性", "File attributes"), cond);
    named(cbxFilePrt, "cbxFilePrt");
    lblEditPrt = new QLabel(QStringLiteral("<a href=\"#\">%1</a>").arg(t("修改属性", "Modify attributes")), cond);
    named(lblEditPrt, "lblEditPrt");
    lblEditPrt->hide();
    chbKeepLocalNewFile = new QCheckBox(m_texts.WLS_KeepLocalNewFile, cond);
    named(chbKeepLocalNewFile, "chbKeepLocalNewFile");
    auto *prtRow = new QHBoxLayout;
    prtRow->addWidget(cbxFilePrt);
    prtRow->addWidget(lblEditPrt);
    prtRow->addStretch(1);
    g->addLayout(prtRow, 7, 0);
    g->addWidget(chbKeepLocalNewFile, 7, 1, 1, 4);
    g->setColumnStretch(1, 1);
    g->setColumnStretch(3, 1);
    root->addWidget(cond);

    auto *timeBox = new QGroupBox(t(" 时间设置： ", " Time settings: "), this);
    auto *tl = new QVBoxLayout(timeBox);
    rbTime1 = new QRadioButton(t("只一次运行", "Just a single run"), timeBox);
    rbTime2 = new QRadioButton(t("定时运行", "Scheduled run"), timeBox);
    named(rbTime1, "rbTime1");
    named(rbTime2, "rbTime2");
    rbTime1->setChecked(true);
    auto *radios = new QHBoxLayout;
    radios->addWidget(rbTime1);
    radios->addWidget(rbTime2);
    radios->addStretch(1);
    tl->addLayout(radios);
    cbxCyc = new QComboBox(timeBox);
    named(cbxCyc, "cbxCyc");
    cbxCyc->setEditable(true);
    cbxCyc->addItems({QStringLiteral("0.5"), QStringLiteral("1"), QStringLiteral("6"), QStringLiteral("12"), QStringLiteral("48")});
    cbxCyc->setCurrentText(QStringLiteral("1"));
    dtpBegin = new QTimeEdit(QTime::currentTime(), timeBox);
    named(dtpBegin, "dtpBegin");
    dtpBegin->setDisplayFormat(QStringLiteral("HH:mm"));
    auto *rule = new QHBoxLayout;
    rule->addWidget(new QLabel(t("定时时间设置：", "Scheduled time settings: "), timeBox));
    rule->addWidget(new QLabel(t("每 ", "every "), timeBox));
    rule->addWidget(cbxCyc);
    rule->addWidget(new QLabel(t("小时同步一次，", " hour(s) to synchronize,"), timeBox));
    rule->addWidget(new QLabel(t("在", " at "), timeBox));
    rule->addWidget(dtpBegin);
    rule->addWidget(new QLabel(t("开始传输任务，23:59结束。", " Start transfer tasks, 23:59 over."), timeBox));
    rule->addStretch(1);
    tl->addLayout(rule);
    root->addWidget(timeBox);

    plVerRemarks = new QWidget(this);
    named(plVerRemarks, "plVerRemarks");
    auto *rl = new QVBoxLayout(plVerRemarks);
    rl->setContentsMargins(0, 0, 0, 0);
    moRemark = new QPlainTextEdit(plVerRemarks);
    named(moRemark, "moRemark");
    moRemark->setFixedHeight(60);
    moRemark->installEventFilter(this);
    rl->addWidget(moRemark);
    root->addWidget(plVerRemarks);
    plVerRemarks->setVisible(m_ctx.VersionRemark);
    moRemark->setPlainText(m_texts.WLS_VersionRemark);

    m_note = new QLabel(t("注：超大规模文件上传请到服务器端“工具”->“数据快速上传”，上传文件",
                          "Note: You can go to server-side [Tools]->[Data fast import] to upload ultra-large-scale files."),
                        this);
    m_note->setWordWrap(true);
    root->addWidget(m_note);

    plG = new QWidget(this);
    named(plG, "plG");
    auto *bl = new QHBoxLayout(plG);
    bl->setContentsMargins(0, 0, 0, 0);
    lbLoading = new QLabel(t("加载文件，请等候......", "Loading files in progress, please wait..."), plG);
    named(lbLoading, "lbLoading");
    lbLoading->setMinimumWidth(260);
    auto *busyBar = new QProgressBar(plG);
    busyBar->setRange(0, 0);
    bl->addWidget(lbLoading, 1);
    bl->addWidget(busyBar);
    plG->hide();
    root->addWidget(plG);

    BitBtn4 = new QPushButton(t(" 保存设置，开始任务", "Start the task"), this);
    bbtSelectItems = new QPushButton(t(" 选择部分文件", "Select some files "), this);
    BitBtn5 = new QPushButton(t("取消", "Cancel"), this);
    named(BitBtn4, "BitBtn4");
    named(bbtSelectItems, "bbtSelectItems");
    named(BitBtn5, "BitBtn5");
    BitBtn4->setDefault(true);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(BitBtn4);
    buttons->addWidget(bbtSelectItems);
    buttons->addWidget(BitBtn5);
    root->addLayout(buttons);

    connect(BitBtn4, &QPushButton::clicked, this, &TTaskAddFrm::Save);
    connect(bbtSelectItems, &QPushButton::clicked, this, &TTaskAddFrm::SelectItems);
    connect(BitBtn5, &QPushButton::clicked, this, &TTaskAddFrm::Cancel);
    connect(BitBtn2, &QPushButton::clicked, this, &TTaskAddFrm::chooseSource);
    connect(BitBtn3, &QPushButton::clicked, this, &TTaskAddFrm::chooseTarget);
    connect(bbtSelType, &QPushButton::clicked, this, &TTaskAddFrm::chooseTypes);
    connect(cbxFilePrt, &QCheckBox::clicked, this, [this](bool on) {
        if (on)
            editProperties(true);
        else
            lblEditPrt->hide();
    });
    connect(lblEditPrt, &QLabel::linkActivated, this, [this] { editProperties(false); });
    connect(cbkIncludeRoot, &QCheckBox::toggled, this, [this](bool on) {
        m_config.SetIsIncludeRoot(on);
        m_config.Save();
    });
    for (QAbstractButton *b : std::initializer_list<QAbstractButton *>{chbDateRng, chbSize, rbTime1, rbTime2})
        connect(b, &QAbstractButton::toggled, this, &TTaskAddFrm::updateEnabled);
    cbkIncludeRoot->setChecked(m_ctx.IncludeRoot);
    updateEnabled();
}

void TTaskAddFrm::fillClassifications()
{
    cbFileSC->clear();
    const QList<TScInfo> &infos = m_config.FScInfos;
    if (infos.isEmpty()) {
        cbFileSC->addItem(m_texts.WLS_SC_NO, 0);
        return;
    }
    for (qsizetype i = infos.size() - 1; i >= 0; --i)
        cbFileSC->addItem(FHS_Language == HSL_CN ? infos[i].CnName : infos[i].EngName, int(infos[i].SC));
    cbFileSC->setCurrentIndex(cbFileSC->count() - 1);
}

void TTaskAddFrm::updateEnabled()
{
    const bool folder = m_folderControls;
    chbDateRng->setEnabled(folder);
    dtpMinDate->setEnabled(folder && chbDateRng->isChecked());
    dtpMaxDate->setEnabled(folder && chbDateRng->isChecked());
    chbSize->setEnabled(folder);
    edtMinSize->setEnabled(folder && chbSize->isChecked());
    edtMaxSize->setEnabled(folder && chbSize->isChecked());
    edtFileType->setEnabled(folder);
    bbtSelType->setEnabled(folder);
    cbSubFolder->setEnabled(folder);
    bbtSelectItems->setEnabled(folder && !IsLoading());
    rbTime2->setEnabled(folder);
    cbxCyc->setEnabled(rbTime2->isChecked());
    dtpBegin->setEnabled(rbTime2->isChecked());
}

void TTaskAddFrm::SetTaskInfo(const TBatchTransport &value)
{
    FOldTaskInfo = value;
    const TTaskForm f = TaskToForm(value, m_ctx, m_texts);
    m_folderControls = f.FolderControls;
    m_sourceLabel->setText(f.SourceLabel);
    m_targetLabel->setText(f.TargetLabel);
    lbStyle->setText(f.Title);
    edtSourceFolderName->setText(f.Source);
    edtDestFolderName->setText(f.Target);
    edtDestFolderName->setToolTip(f.TargetHint);
    edtSourceFolderName->setReadOnly(f.SourceReadOnly);
    edtDestFolderName->setReadOnly(f.TargetReadOnly);
    FPrtParams = f.PrtParams;
    cbxFilePrt->setChecked(f.FilePrt);
    lblEditPrt->setVisible(f.FilePrt);
    const bool upload = value.TranStyle == TS_Upload;
    cbxFilePrt->setVisible(upload);
    m_note->setVisible(upload);
    chbDateRng->setChecked(f.DateOn);
    dtpMinDate->setDate(f.MinDate);
    dtpMaxDate->setDate(f.MaxDate);
    chbSize->setChecked(f.SizeOn);
    edtMinSize->setText(f.MinSize);
    edtMaxSize->setText(f.MaxSize);
    (f.Scheduled ? rbTime2 : rbTime1)->setChecked(true);
    cbxCyc->setCurrentText(f.Cyc);
    dtpBegin->setTime(f.Begin);
    edtFileType->setText(f.Types);
    cbSubFolder->setChecked(f.SubFolder);
    chbKeepLocalNewFile->setVisible(f.KeepLocalShown);
    chbKeepLocalNewFile->setChecked(f.KeepLocalNewFile);
    {
        const QSignalBlocker block(cbkIncludeRoot);
        cbkIncludeRoot->setChecked(f.IncludeRoot);
    }
    cbFileSC->setEnabled(f.ScEnabled);
    if (f.Sc >= 0) {
        const int i = cbFileSC->findData(f.Sc);
        if (i >= 0)
            cbFileSC->setCurrentIndex(i);
    }
    plVerRemarks->setVisible(f.RemarkShown);
    moRemark->setPlainText(f.Remark);
    updateEnabled();
}

void TTaskAddFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (m_checkedLogin)
        return;
    m_checkedLogin = true;
    if (m_config.EncryptId().isEmpty())
        QTimer::singleShot(0, this, [this] {
            TPrompter::Instance().Error(this, m_texts.WLS_Hint, m_texts.WLS_LoginFirst);
            Cancel();
        });
}

bool TTaskAddFrm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == edtSourceFolderName && event->type() == QEvent::MouseButtonDblClick
        && FOldTaskInfo.TranStyle == TS_Upload) {
        const QString last = m_config.LastUploadPath();
        edtSourceFolderName->setText(last);
        FOldTaskInfo.SourceFolderName = last;
    } else if (watched == moRemark && event->type() == QEvent::FocusIn
               && moRemark->toPlainText() == m_texts.WLS_VersionRemark) {
        moRemark->clear();
    }
    return QDialog::eventFilter(watched, event);
}

TTaskForm TTaskAddFrm::readForm() const
{
    TTaskForm f;
    f.Source = edtSourceFolderName->text();
    f.Target = edtDestFolderName->text();
    f.DateOn = chbDateRng->isChecked();
    f.MinDate = dtpMinDate->date();
    f.MaxDate = dtpMaxDate->date();
    f.SizeOn = chbSize->isChecked();
    f.MinSize = edtMinSize->text();
    f.MaxSize = edtMaxSize->text();
    f.Types = edtFileType->text();
    f.SubFolder = cbSubFolder->isChecked();
    f.FilePrt = cbxFilePrt->isChecked();
    f.PrtParams = FPrtParams;
    f.IncludeRoot = cbkIncludeRoot->isChecked();
    f.KeepLocalNewFile = chbKeepLocalNewFile->isChecked();
    f.Scheduled = rbTime2->isChecked();
    f.Cyc = cbxCyc->currentText();
    f.Begin = dtpBegin->time();
    f.Sc = cbFileSC->isEnabled() ? cbFileSC->currentData().toInt() : 0;
    f.Remark = moRemark->toPlainText();
    return f;
}

bool TTaskAddFrm::collect()
{
    m_fid = -1;
    edtFileType->setText(edtFileType->text().trimmed());
    const TTaskCheck check = CollectTask(readForm(), FOldTaskInfo, m_ctx, m_texts, [this] {
        return TPrompter::Instance().Ask(this, m_texts.WLS_Hint, m_texts.WLS_NewFolder);
    });
    if (check != TTaskCheck::Ok) {
        if (check != TTaskCheck::Refused)
            TPrompter::Instance().Error(this, m_texts.WLS_Hint, TaskCheckText(check, m_texts));
        return false;
    }
    m_fid = 1;
    return true;
}

void TTaskAddFrm::Save()
{
    if (IsLoading())
        return;
    const bool ok = collect();
    if (FOldTaskInfo.TranStyle == TS_Upload) {
        m_config.SetLastUploadPath(edtSourceFolderName->text().trimmed());
        m_config.Save();
    }
    if (!ok)
        return;
    FNewTaskInfo = FOldTaskInfo;
    const TTaskCheck ends = CheckTaskEnds(FNewTaskInfo);
    if (ends != TTaskCheck::Ok) {
        FNewTaskInfo.Id = -1;
        TPrompter::Instance().Error(this, m_texts.WLS_Hint, TaskCheckText(ends, m_texts));
        return;
    }
    if (FNewTaskInfo.TranStyle == TS_Download && m_config.WorkRoot().isEmpty()) {
        m_config.SetWorkRoot(edtDestFolderName->text().trimmed());
        m_config.Save();
    }
    FIsCompleted = true;
    accept();
}

void TTaskAddFrm::Cancel()
{
    // Nothing of the task's own index is touched: the file selection had a scratch index of its own.
    if (m_scratch)
        m_scratch->deleteLater();
    m_scratch = nullptr;
    m_fid = -1;
    if (!FIsCompleted)
        FNewTaskInfo.Id = -1;
    reject();
}

void TTaskAddFrm::setBusy(bool busy)
{
    plG->setVisible(busy);
    BitBtn4->setEnabled(!busy);
    BitBtn2->setEnabled(!busy);
    BitBtn3->setEnabled(!busy);
    updateEnabled();
}

void TTaskAddFrm::SelectItems()
{
    if (IsLoading() || !collect())
        return;
    if (!m_scratch) {
        TBatchSettings settings = TBatchSettings::FromConfig(m_config);
        m_scratch = new TTaskScratchIndex(settings, m_indexFolder, this);
        connect(m_scratch, &TTaskScratchIndex::progressText, this, [this](const QString &line) {
            lbLoading->setText(t("加载文件，请等候......", "Loading files in progress, please wait...") + u' ' + line.trimmed());
        });
        connect(m_scratch, &TTaskScratchIndex::built, this, &TTaskAddFrm::onScratchBuilt);
    }
    lbLoading->setText(t("加载文件，请等候......", "Loading files in progress, please wait..."));
    TBatchTransport task = FOldTaskInfo;
    m_scratch->Build(task);
    setBusy(true);
}

void TTaskAddFrm::onScratchBuilt(bool ok, const QString &error)
{
    setBusy(false);
    if (!ok && m_scratch->Files().isEmpty()) {
        if (!error.isEmpty())
            TPrompter::Instance().Error(this, m_texts.WLS_Hint, error);
        return;
    }
    QString count = m_texts.WLS_FileNum;
    count.replace(QLatin1String("%s"), QString::number(m_scratch->AllCount()));
    QList<qint64> leftOut;
    if (!Pickers.SelectFiles || !Pickers.SelectFiles(this, *m_scratch, count, leftOut))
        return;
    m_scratch->Exclude(leftOut);
    FExcludedKeys = leftOut;
    FFilesSelected = true;
}

void TTaskAddFrm::chooseSource()
{
    const TTranStyle style = FOldTaskInfo.TranStyle;
    if (style == TS_Download) {
        qint32 owner = 0;
        qint64 folderId = 0;
        QString folderName;
        if (!Pickers.PickOwner || !Pickers.PickOwner(this, TS_Download, owner))
            return;
        if (!Pickers.PickServerFolder || !Pickers.PickServerFolder(this, owner, folderId, folderName))
            return;
        qint64 id = folderId;
        QString name = folderName;
        if (FOldTaskInfo.FF == FF_File) {
            qint64 key = 0;
            QString fileName;
            if (!Pickers.PickServerFile || !Pickers.PickServerFile(this, owner, folderId, key, fileName))
                return;
            id = key;
            name = fileName;
        }
        FOldTaskInfo.SourceOwnerId = owner;
        FOldTaskInfo.SourceFolderId = id;
        FOldTaskInfo.SourceFolderName = name;
        edtSourceFolderName->setText(QString(name).replace(u'/', u'\\'));
        if (FOldTaskInfo.FF == FF_File) {
            // The target shows the file's whole local path.
            QString target = edtDestFolderName->text().trimmed();
            const qsizetype cut = qMax(target.lastIndexOf(u'/'), target.lastIndexOf(u'\\'));
            const QString leaf = name.mid(qMax(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\')) + 1);
            edtDestFolderName->setText((cut >= 0 ? target.left(cut + 1) : IncludeTrailingSlash(target)) + leaf);
        }
    } else if (style == TS_Upload) {
        QString path;
        const QString start = edtSourceFolderName->text().trimmed();
        const bool chosen = FOldTaskInfo.FF == FF_File
                                ? Pickers.PickLocalFile && Pickers.PickLocalFile(this, start, path)
                                : Pickers.PickLocalFolder && Pickers.PickLocalFolder(this, m_texts.WLS_SelFolder, start, path);
        if (!chosen || path.isEmpty())
            return;
        FOldTaskInfo.SourceFolderName = path;
        edtSourceFolderName->setText(path);
    } else {
        TPrompter::Instance().Error(this, m_texts.WLS_Hint, m_texts.WLS_ToFileManage);
    }
}

void TTaskAddFrm::chooseTarget()
{
    const TTranStyle style = FOldTaskInfo.TranStyle;
    if (style == TS_Upload) {
        qint32 owner = 0;
        qint64 folderId = 0;
        QString folderName;
        if (!Pickers.PickOwner || !Pickers.PickOwner(this, TS_Upload, owner))
            return;
        if (!Pickers.PickServerFolder || !Pickers.PickServerFolder(this, owner, folderId, folderName))
            return;
        FOldTaskInfo.DestOwnerId = owner;
        FOldTaskInfo.DestFolderId = folderId;
        FOldTaskInfo.DestFolderName = folderName;
        edtDestFolderName->setText(folderName);
        edtDestFolderName->setToolTip(QString::number(owner) + u'-' + QString::number(folderId));
    } else if (style == TS_Download) {
        QString path;
        QString start = edtDestFolderName->text().trimmed();
        if (FOldTaskInfo.FF == FF_File)
            start = QFileInfo(start).path();
        if (!Pickers.PickLocalFolder || !Pickers.PickLocalFolder(this, m_texts.WLS_DFolder, start, path) || path.isEmpty())
            return;
        if (FOldTaskInfo.FF == FF_File) {
            const QString name = FOldTaskInfo.SourceFolderName;
            path = IncludeTrailingSlash(path) + name.mid(qMax(name.lastIndexOf(u'/'), name.lastIndexOf(u'\\')) + 1);
        }
        FOldTaskInfo.DestFolderName = path;
        edtDestFolderName->setText(path);
    } else {
        TPrompter::Instance().Error(this, m_texts.WLS_Hint, m_texts.WLS_ToFileManage);
    }
}

void TTaskAddFrm::chooseTypes()
{
    QList<qint32> types = ParseTaskTypes(edtFileType->text());
    if (!Pickers.PickTypes || !Pickers.PickTypes(this, types))
        return;
    edtFileType->setText(TaskTypesText(types));
}

void TTaskAddFrm::editProperties(bool switchedOn)
{
    QString result;
    if (Pickers.EditProperties && Pickers.EditProperties(this, FPrtParams, result)) {
        FPrtParams = result;
        lblEditPrt->show();
        return;
    }
    if (switchedOn) {
        cbxFilePrt->setChecked(false);
        lblEditPrt->hide();
    }
}

void TTaskAddFrm::installDefaultPickers()
{
    const THS_Language lang = FHS_Language;
    const TServerConn conn = TServerConn::FromConfig(m_config);
    const QString baseUrl = m_config.ServerBaseUrl();
    Pickers.PickOwner = [conn](QWidget *parent, TTranStyle style, qint32 &ownerId) {
        TSelectOwnerFrm frm(conn, parent);
        frm.GetOrgStructure(style);
        frm.exec();
        ownerId = frm.FOwnerId;
        return ownerId > 0;
    };
    Pickers.PickServerFolder = [conn](QWidget *parent, qint32 ownerId, qint64 &folderId, QString &folderName) {
        TSelectFolderFrm frm(conn, parent);
        frm.GetFrame(ownerId);
        frm.exec();
        folderId = frm.FFolderId;
        folderName = frm.FFolderName;
        return folderId >= 0;
    };
    Pickers.PickServerFile = [conn](QWidget *parent, qint32 ownerId, qint64 folderId, qint64 &fileKey, QString &fileName) {
        TServerFolderFileView view(conn, parent);
        view.LoadFile(ownerId, folderId);
        view.exec();
        fileKey = view.FFileId;
        fileName = view.FFileName;
        return fileKey > 0;
    };
    Pickers.PickLocalFolder = [lang](QWidget *parent, const QString &caption, const QString &start, QString &path) {
        path = TGetPathFrm::Pick(parent, lang, caption, start);
        return !path.isEmpty();
    };
    Pickers.PickLocalFile = [](QWidget *parent, const QString &start, QString &path) {
        path = QFileDialog::getOpenFileName(parent, QString(), start);
        return !path.isEmpty();
    };
    Pickers.PickTypes = [lang](QWidget *parent, QList<qint32> &types) {
        TSetFileTypeFrm frm(parent, lang);
        QList<quint32> codes;
        for (qint32 t : types)
            codes << quint32(t);
        frm.SetFileTypes(codes);
        if (frm.exec() != QDialog::Accepted)
            return false;
        types.clear();
        for (quint32 c : frm.GetFileTypes())
            types << qint32(c);
        return true;
    };
    Pickers.EditProperties = [lang, baseUrl](QWidget *parent, const QString &params, QString &result) {
        TTSetFilePropertyFrm frm(lang, parent);
        frm.URL = TTSetFilePropertyFrm::PageUrl(baseUrl);
        frm.PrtParams = params;
        frm.LoadParam = true;
        if (frm.exec() != QDialog::Accepted)
            return false;
        result = frm.PrtParams;
        return true;
    };
    Pickers.SelectFiles = [lang](QWidget *parent, const TTaskScratchIndex &index, const QString &countLine,
                                 QList<qint64> &leftOut) {
        TSelectFileView view(lang, parent);
        for (const TTidyFile &f : index.Files())
            view.AddFiles(f);
        view.setWindowTitle(countLine);
        if (view.exec() != QDialog::Accepted || !view.FSelectKey)
            return false;
        leftOut = view.GetUnSelectedKeys();
        return true;
    };
}
