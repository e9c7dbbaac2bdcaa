#include "batchui/batchfiledealmainfrm.h"

#include "batchui/taskaddfrm.h"
#include "core/folders.h"
#include "core/wiredate.h"
#include "platform/prompter.h"
#include "platform/styleicons.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace {

// Column 4: a progress bar with its percentage written over it.
class TScaleDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        const QVariant v = index.data(kBatchScaleRole);
        if (!v.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const int percent = qBound(0, int(std::lround(v.toDouble() * 100)), 100);
        QStyleOptionProgressBar bar;
        bar.rect = option.rect.adjusted(2, 2, -2, -2);
        bar.minimum = 0;
        bar.maximum = 100;
        bar.progress = percent;
        bar.text = QString::number(percent) + u'%';
        bar.textVisible = true;
        bar.textAlignment = Qt::AlignCenter;
        bar.state = option.state | QStyle::State_Horizontal;
        QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
    }
};

QIcon stateIcon(quint8 st)
{
    switch (st) {
    case BTS_Unknown:
    case BTS_Completed: return StyleIcon(QStyle::SP_DialogApplyButton);
    case BTS_Init:
    case BTS_Running: return StyleIcon(QStyle::SP_MediaPlay);
    case BTS_Paused: return StyleIcon(QStyle::SP_MediaPause);
    case BTS_Waiting: return StyleIcon(QStyle::SP_BrowserReload);
    case BTS_Error: return StyleIcon(QStyle::SP_MessageBoxCritical);
    case BTS_Deleted: return StyleIcon(QStyle::SP_TrashIcon);
    default: return StyleIcon(QStyle::SP_FileIcon);
    }
}

QString stamp(TDateTime t)
{
    return t <= 0 ? QString() : DateTimeToQDateTime(t).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

TBatchFileDealMainFrm::TBatchFileDealMainFrm(QWidget *parent, THS_Language language, const QString &folder,
                                             const QString &indexFolder)
    : QWidget(parent)
    , FManager(new TBatchTaskManager(folder, indexFolder, this))
    , FHS_Language(language == HSL_CN ? HSL_CN : HSL_ENG)
{
    setObjectName(QStringLiteral("TBatchFileDealMainFrm"));
    setWindowTitle(QStringLiteral("kv batch tools"));
    WLS_ReConn = t("自动重新链接服务器....", "Automatically re-link to the server ....");
    WLS_Complete = t("共%s,完成%s", " total %s, Completed %s");
    WLS_Tran = t("已传输", " Has been transferred ");
    WLS_PerSecond = t("每秒 ", "Per second ");
    WLS_SelTask = t("先选择一个任务！", "First select a task!");
    WLS_Hint = t("提示", "Hint");
    WLS_ViewLog = t(" 点击传输日志查看详细错误信息", " Click transmission log to view the detailed error information");
    WLS_Upload = t("上传", "Upload");
    WLS_Download = t("下载", "Download");
    WLS_BulkUpload = t("文件夹文件批量上传", "Bulk upload");
    WLS_BulkDownload = t("文件夹文件批量下载", "Bulk download");
    WLS_ProhibitsBulkDownload = t("系统服务器端禁止批量下载文件！", "System prohibits bulk download!");
    WLS_ErrData = t("错误的任务数据！", "Incorrect task data!");
    WLS_SelectFolder = t("不能直接上传文件到组，选择组下面的目标文件夹再上传！", "Select the target folder, and then upload! ");
    WLS_TranComplete = t("完成全部传输任务！", "All transfer tasks completed!");
    FRunEditor = [](TTaskAddFrm &editor) { editor.exec(); };
    // The widgets come when the page is first shown or asked for: a resident
    // client whose task page is never opened keeps none of them.
    connect(FManager, &TBatchTaskManager::taskChanged, this, &TBatchFileDealMainFrm::onTaskChanged);
    connect(FManager, &TBatchTaskManager::tasksChanged, this, &TBatchFileDealMainFrm::fillGrid);
    connect(FManager, &TBatchTaskManager::bulkDownloadRefused, this,
            [this] { TPrompter::Instance().Error(this, WLS_Hint, WLS_ProhibitsBulkDownload); });
    connect(FManager, &TBatchTaskManager::logLine, this, &TBatchFileDealMainFrm::onLogLine);
    connect(FManager, &TBatchTaskManager::saveFailed, this,
            [this](const QString &error) { TPrompter::Instance().Error(this, WLS_Hint, error); });
}

QString TBatchFileDealMainFrm::t(const char *cn, const char *en) const
{
    return FHS_Language == HSL_CN ? QString::fromUtf8(cn) : QString::fromUtf8(en);
}

void TBatchFileDealMainFrm::EnsureUi()
{
    if (tvTask)
        return;
    buildUi();
    // What a start of all tasks before the page existed would have selected.
    if (m_selectFirstTask) {
        m_selectFirstTask = false;
        SelectList(BTL_UploadActive);
        if (sgTaskList->rowCount() > 0)
            sgTaskList->selectRow(0);
    }
}

void TBatchFileDealMainFrm::setVisible(bool visible)
{
    // Before the page is shown, so its children are shown with it.
    if (visible)
        EnsureUi();
    QWidget::setVisible(visible);
}

void TBatchFileDealMainFrm::buildUi()
{
    tvTask = new QTreeWidget(this);
    tvTask->setObjectName(QStringLiteral("tvTask"));
    tvTask->setHeaderHidden(true);
    auto addRoot = [&](const QString &caption, std::initializer_list<std::pair<QString, int>> children) {
        auto *root = new QTreeWidgetItem(tvTask, {caption});
        root->setData(0, Qt::UserRole, 0);
        for (const auto &[text, tag] : children)
            (new QTreeWidgetItem(root, {text}))->setData(0, Qt::UserRole, tag);
        root->setExpanded(true);
    };
    addRoot(t("批量上传任务", "Bulk upload task"), {{t("上传任务", "Uploading list"), BTL_UploadActive},
                                                  {t("完成上传", "Upload completed"), BTL_UploadDone},
                                                  {t("垃圾箱", "Dustbin "), BTL_UploadDustbin}});
    addRoot(t("批量下载任务", "Bulk download task"), {{t("下载任务", "Uploading list"), BTL_DownloadActive},
                                                    {t("完成下载", "Download completed"), BTL_DownloadDone},
                                                    {t("垃圾箱", "Dustbin "), BTL_DownloadDustbin}});

    sgTaskList = new QTableWidget(0, 8, this);
    sgTaskList->setObjectName(QStringLiteral("sgTaskList"));
    sgTaskList->setHorizontalHeaderLabels({t("状态", "Status"), t("源目录/文件", " Source folder/file"),
                                           t("目标目录/文件", "Target folder/file"), t("文件数量", "File number"),
                                           t("文件空间", "File space"), t("开始时间", " Start time"), t("速度", " Speed"),
                                           t("结束时间", "End Time")});
    sgTaskList->verticalHeader()->hide();
    sgTaskList->setSelectionBehavior(QAbstractItemView::SelectRows);
    sgTaskList->setSelectionMode(QAbstractItemView::SingleSelection);
    sgTaskList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    sgTaskList->setItemDelegateForColumn(4, new TScaleDelegate(sgTaskList));
    sgTaskList->setContextMenuPolicy(Qt::CustomContextMenu);
    sgTaskList->horizontalHeader()->setStretchLastSection(true);
    // A narrow column shows the start of its caption.
    sgTaskList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Status to progress fit beside the tree in the 800-pixel main window; the rest scrolls.
    sgTaskList->setColumnWidth(0, 58);
    sgTaskList->setColumnWidth(1, 120);
    sgTaskList->setColumnWidth(2, 80);
    sgTaskList->setColumnWidth(3, 125);
    sgTaskList->setColumnWidth(4, 92);
    sgTaskList->setColumnWidth(5, 140);

    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    auto *TabSheet1 = new QWidget(PageControl1);
    auto *details = new QVBoxLayout(TabSheet1);
    lbSt = new QLabel(t("上传状态：", "Upload state: "), TabSheet1);
    lbSt->setObjectName(QStringLiteral("lbSt"));
    edtFileName = new QLineEdit(t("文件名称", "File name"), TabSheet1);
    edtFileName->setObjectName(QStringLiteral("edtFileName"));
    edtFileName->setReadOnly(true);
    auto *countRow = new QHBoxLayout;
    countRow->addWidget(new QLabel(t("完成数量/文件总数: ", "Completed number /Total number: "), TabSheet1));
    lbNumInfo = new QLabel(TabSheet1);
    lbNumInfo->setObjectName(QStringLiteral("lbNumInfo"));
    countRow->addWidget(lbNumInfo);
    pbCount = new QProgressBar(TabSheet1);
    countRow->addWidget(pbCount, 1);
    auto *sizeRow = new QHBoxLayout;
    sizeRow->addWidget(new QLabel(t("完成大小/文件大小: ", "Completed size / File size : "), TabSheet1));
    lbSizeInfo = new QLabel(TabSheet1);
    lbSizeInfo->setObjectName(QStringLiteral("lbSizeInfo"));
    sizeRow->addWidget(lbSizeInfo);
    pbSize = new QProgressBar(TabSheet1);
    pbSize->setRange(0, 1000);
    sizeRow->addWidget(pbSize, 1);
    lbLog = new QLabel(TabSheet1);
    lbLog->setObjectName(QStringLiteral("lbLog"));
    lbLog->setWordWrap(true);
    details->addWidget(lbSt);
    details->addWidget(edtFileName);
    details->addLayout(countRow);
    details->addLayout(sizeRow);
    details->addWidget(lbLog);
    details->addStretch(1);
    auto memo = [&](const char *name) {
        auto *m = new QPlainTextEdit(PageControl1);
        m->setObjectName(QLatin1String(name));
        m->setReadOnly(true);
        return m;
    };
    moTaskInfo = memo("moTaskInfo");
    moLog = memo("moLog");
    moErrorLog = memo("moErrorLog");
    PageControl1->addTab(TabSheet1, t("详细信息", "Details"));
    PageControl1->addTab(moTaskInfo, t(" 传输条件 ", "Transfer conditions"));
    PageControl1->addTab(moLog, t(" 传输日志 ", "Transfer log"));
    PageControl1->addTab(moErrorLog, t(" 错误信息 ", " Error Message "));

    auto button = [&](const char *name, const QString &text, void (TBatchFileDealMainFrm::*slot)()) {
        auto *b = new QToolButton(this);
        b->setObjectName(QLatin1String(name));
        b->setText(text);
        connect(b, &QToolButton::clicked, this, slot);
        return b;
    };
    sbNewTask = button("sbNewTask", t("新建任务", "New task"), &TBatchFileDealMainFrm::NewTask);
    sbStartAll = button("sbStartAll", t("开始全部", "Start all"), &TBatchFileDealMainFrm::actStartAll);
    sbStopAll = button("sbStopAll", t("停止全部", "Stop all"), &TBatchFileDealMainFrm::actPauseAll);
    sbDelAll = button("sbDelAll", t("删除全部", "Delete all"), &TBatchFileDealMainFrm::actDelAll);
    sbStart = button("sbStart", t("开始", "Start"), &TBatchFileDealMainFrm::actStart);
    sbPause = button("sbPause", t("暂停", "Pause"), &TBatchFileDealMainFrm::actPause);
    sbDel = button("sbDel", t("删除", "Delete"), &TBatchFileDealMainFrm::actDel);

    PopupMenu1 = new QMenu(this);
    auto entry = [&](const char *name, const QString &text, auto slot) {
        QAction *a = PopupMenu1->addAction(text);
        a->setObjectName(QLatin1String(name));
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    pm_Start = entry("pm_Start", t("开始/续传", "Start/Continue"), &TBatchFileDealMainFrm::actStart);
    pm_Pause = entry("pm_Pause", t("暂停", "Pause"), &TBatchFileDealMainFrm::actPause);
    pm_Restart = entry("pm_Restart", t("重新开始", "Restart"), &TBatchFileDealMainFrm::actRestart);
    pm_Del = entry("pm_Del", t("删除", "Delete"), &TBatchFileDealMainFrm::actDel);
    pm_ResetTaskInfo = entry("pm_ResetTaskInfo", t("修改设置", "Modify settings"), &TBatchFileDealMainFrm::ResetTaskInfo);
    pm_NewTask = entry("pm_NewTask", t("新建任务", "New task"), &TBatchFileDealMainFrm::NewTask);
    PopupMenu1->addSeparator();
    pm_Log = entry("pm_Log", t("传输日志", "Transfer log"), [this] {
        PageControl1->setCurrentWidget(moLog);
        showDetails();
    });
    pm_OpenFolder = entry("pm_OpenFolder", t("打开本地文件夹", "Open local folder"), &TBatchFileDealMainFrm::openLocalFolder);
    connect(sgTaskList, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &p) { PopupMenu1->popup(sgTaskList->viewport()->mapToGlobal(p)); });

    auto *buttons = new QHBoxLayout;
    for (QToolButton *b : {sbNewTask, sbStartAll, sbStopAll, sbDelAll, sbStart, sbPause, sbDel})
        buttons->addWidget(b);
    buttons->addStretch(1);
    auto *right = new QSplitter(Qt::Vertical, this);
    right->addWidget(sgTaskList);
    right->addWidget(PageControl1);
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    auto *main = new QSplitter(Qt::Horizontal, this);
    main->addWidget(tvTask);
    main->addWidget(right);
    main->setStretchFactor(1, 1);
    main->setSizes({185, 615});
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addLayout(buttons);
    layout->addWidget(main, 1);

    connect(tvTask, &QTreeWidget::currentItemChanged, this, [this] { fillGrid(); });
    connect(sgTaskList, &QTableWidget::itemSelectionChanged, this, &TBatchFileDealMainFrm::onRowSelected);
    connect(PageControl1, &QTabWidget::currentChanged, this, &TBatchFileDealMainFrm::showDetails);
    clearDetails();
}

void TBatchFileDealMainFrm::ToFront()
{
    if (parentWidget())
        setGeometry(parentWidget()->contentsRect());
    show();
    raise();
}

void TBatchFileDealMainFrm::UMRobotStartAll(const TBatchSettings &settings)
{
    if (!FManager->IsAutoRun()) {
        FManager->SetSettings(settings);
        FManager->StartAllTasks();
    }
    if (!tvTask) {
        m_selectFirstTask = true;
        return;
    }
    SelectList(BTL_UploadActive);
    if (sgTaskList->rowCount() > 0)
        sgTaskList->selectRow(0);
}

int TBatchFileDealMainFrm::currentTag() const
{
    const QTreeWidgetItem *item = tvTask->currentItem();
    return item ? item->data(0, Qt::UserRole).toInt() : 0;
}

void TBatchFileDealMainFrm::SelectList(int tag)
{
    EnsureUi();
    for (int i = 0; i < tvTask->topLevelItemCount(); ++i)
        for (int j = 0; j < tvTask->topLevelItem(i)->childCount(); ++j) {
            QTreeWidgetItem *item = tvTask->topLevelItem(i)->child(j);
            if (item->data(0, Qt::UserRole).toInt() == tag) {
                if (tvTask->currentItem() == item)
                    fillGrid();
                else
                    tvTask->setCurrentItem(item);
                return;
            }
        }
}

void TBatchFileDealMainFrm::fillGrid()
{
    if (!tvTask)
        return;   // filled when built
    // A refill because another program changed the tasks keeps the user's selection.
    const qint32 keep = SelectedTask();
    const int tag = currentTag();
    const QList<TBatchTaskRow> rows = tag > 0 ? FManager->Rows(tag) : QList<TBatchTaskRow>();
    {
        const QSignalBlocker block(sgTaskList);
        sgTaskList->clearContents();
        sgTaskList->setRowCount(int(rows.size()));
        for (int i = 0; i < rows.size(); ++i)
            showRow(i, rows.at(i));
    }
    FGridRow = -1;
    const bool done = tag == BTL_UploadDone || tag == BTL_UploadDustbin || tag == BTL_DownloadDone || tag == BTL_DownloadDustbin;
    for (QWidget *w : {static_cast<QWidget *>(sbStart), static_cast<QWidget *>(sbPause), static_cast<QWidget *>(sbStartAll),
                       static_cast<QWidget *>(sbStopAll)})
        w->setEnabled(!done);
    pm_Start->setEnabled(!done);
    pm_Pause->setEnabled(!done);
    clearDetails();
    if (keep != 0 && RowOf(keep) >= 0)
        SelectTask(keep);
}

void TBatchFileDealMainFrm::showRow(int row, const TBatchTaskRow &data)
{
    const TBatchTransport &task = data.Task;
    const TBatchProgress &p = data.Progress;
    auto cell = [&](int col, const QString &text) {
        QTableWidgetItem *item = sgTaskList->item(row, col);
        if (!item) {
            item = new QTableWidgetItem;
            sgTaskList->setItem(row, col, item);
        }
        item->setText(text);
        return item;
    };
    QTableWidgetItem *state = cell(0, QString::number(task.Id));
    state->setIcon(stateIcon(task.St));
    state->setData(kBatchStateRole, int(task.St));
    state->setData(Qt::UserRole, task.Id);
    cell(1, task.SourceFolderName);
    cell(2, task.DestFolderName);
    QString count;
    if (data.HasWorker) {
        if (task.FF == FF_Folder)
            count = QString(WLS_Complete).replace(WLS_Complete.indexOf(QLatin1String("%s")), 2, QString::number(p.AllCount))
                        .replace(QLatin1String("%s"), QString::number(p.FinishedCount));
        else if (p.FinishedSize > 0)
            count = WLS_Tran + QString::number(p.FinishedSize / 1024) + u'K';
    }
    cell(3, count);
    QTableWidgetItem *scale = cell(4, QString());
    if (data.HasWorker)
        scale->setData(kBatchScaleRole, p.Scale);
    else if (task.St == BTS_Deleted)
        scale->setData(kBatchScaleRole, QVariant());
    else
        scale->setData(kBatchScaleRole, task.St == BTS_Unknown || task.St == BTS_Completed ? 1.0 : 0.0);
    cell(5, data.HasWorker ? stamp(task.RunStartTime)
                           : (task.TaskStartTime > 0 ? QLocale().toString(DateTimeToQDateTime(task.TaskStartTime).time(),
                                                                          QLocale::ShortFormat)
                                                     : QString()));
    cell(6, data.HasWorker ? WLS_PerSecond + QString::number(std::lround(p.Rate)) + u'K' : QString());
    cell(7, data.HasWorker ? QString() : stamp(task.RunEndTime));
}

int TBatchFileDealMainFrm::RowOf(qint32 id) const
{
    // Asking for a row is asking for the page.
    const_cast<TBatchFileDealMainFrm *>(this)->EnsureUi();
    for (int i = 0; i < sgTaskList->rowCount(); ++i)
        if (sgTaskList->item(i, 0) && sgTaskList->item(i, 0)->data(Qt::UserRole).toInt() == id)
            return i;
    return -1;
}

qint32 TBatchFileDealMainFrm::SelectedTask() const
{
    if (!sgTaskList || FGridRow < 0 || FGridRow >= sgTaskList->rowCount() || !sgTaskList->item(FGridRow, 0))
        return 0;
    return sgTaskList->item(FGridRow, 0)->data(Qt::UserRole).toInt();
}

void TBatchFileDealMainFrm::SelectTask(qint32 id)
{
    EnsureUi();
    const int row = RowOf(id);
    if (row >= 0)
        sgTaskList->selectRow(row);
}

void TBatchFileDealMainFrm::onTaskChanged(int id)
{
    if (!sgTaskList)
        return;   // shown when built
    const int row = RowOf(id);
    if (row < 0)
        return;
    TBatchTaskRow data;
    if (!FManager->Row(id, data))
        return;
    showRow(row, data);
    if (row == FGridRow) {
        updateMenu(data);
        showDetails();
    }
}

void TBatchFileDealMainFrm::onRowSelected()
{
    const QList<QTableWidgetItem *> selected = sgTaskList->selectedItems();
    FGridRow = selected.isEmpty() ? -1 : selected.first()->row();
    TBatchTaskRow data;
    if (FManager->Row(SelectedTask(), data))
        updateMenu(data);
    showDetails();
}

void TBatchFileDealMainFrm::updateMenu(const TBatchTaskRow &data)
{
    const int tag = currentTag();
    const bool done = tag == BTL_UploadDone || tag == BTL_UploadDustbin || tag == BTL_DownloadDone || tag == BTL_DownloadDustbin;
    if (data.HasWorker) {
        pm_Start->setEnabled(!done && data.Paused);
        pm_Pause->setEnabled(!done && !data.Paused);
        pm_Restart->setEnabled(false);
    } else {
        pm_Start->setEnabled(false);
        pm_Pause->setEnabled(false);
        pm_Restart->setEnabled(true);
    }
    pm_Del->setEnabled(true);
    pm_ResetTaskInfo->setEnabled(true);
}

void TBatchFileDealMainFrm::clearDetails()
{
    lbSt->setText(t("上传状态：", "Upload state: "));
    edtFileName->setText(t("文件名称", "File name"));
    lbNumInfo->clear();
    lbSizeInfo->clear();
    lbLog->clear();
    lbSt->setStyleSheet(QString());
    lbLog->setStyleSheet(QString());
    pbCount->setValue(0);
    pbSize->setValue(0);
    m_detailsTask = 0;
    for (QPlainTextEdit *memo : {moTaskInfo, moLog, moErrorLog}) {
        memo->clear();
        memo->setProperty("shownText", QVariant());
    }
    moLog->setProperty("liveTask", QVariant());
}

void TBatchFileDealMainFrm::showDetails()
{
    const qint32 id = SelectedTask();
    TBatchTaskRow data;
    if (id == 0 || !FManager->Row(id, data)) {
        clearDetails();
        return;
    }
    if (id != m_detailsTask) {
        // Another task's texts start at their top.
        m_detailsTask = id;
        for (QPlainTextEdit *memo : {moTaskInfo, moLog, moErrorLog})
            memo->setProperty("shownText", QVariant());
        moLog->setProperty("liveTask", QVariant());
    }
    const TBatchTransport &task = data.Task;
    const TBatchProgress &p = data.Progress;
    const bool upload = task.TranStyle == TS_Upload;
    QString state = TaskStateText(task.St, FHS_Language);
    if (data.HasWorker && !p.CurrentFile.isEmpty())
        state = task.FF == FF_Folder ? (upload ? WLS_BulkUpload : WLS_BulkDownload) : (upload ? WLS_Upload : WLS_Download);
    lbSt->setText(state);
    edtFileName->setText(p.CurrentFile);
    lbNumInfo->setText(QStringLiteral("%1/%2").arg(p.FinishedCount).arg(p.AllCount));
    pbCount->setRange(0, qMax(1, p.AllCount));
    pbCount->setValue(qMin(p.FinishedCount, qMax(1, p.AllCount)));
    lbSizeInfo->setText(QStringLiteral("%1K/%2K").arg(data.FileDoneSize / 1024 + 1).arg(data.FileAllSize / 1024 + 1));
    pbSize->setValue(int(std::lround(double(data.FileDoneSize) / double(data.FileAllSize + 1) * 1000 + 0.49)));
    const bool failed = task.St == BTS_Error;
    lbLog->setText(failed ? data.LastLog + WLS_ViewLog : data.LastLog);
    const QString warn = failed ? QStringLiteral("color: #c00000;") : QString();
    lbSt->setStyleSheet(warn);
    lbLog->setStyleSheet(warn);
    QString summary;
    TaskSummaryText(task, FHS_Language, summary);
    showText(moTaskInfo, summary);
    // Progress comes twice a second: only the page in front is read again.
    // A worker's log is read once; its new lines are appended as they come.
    if (PageControl1->currentWidget() == moLog) {
        if (moLog->property("liveTask").toInt() != id) {
            showText(moLog, FManager->LogText(id));
            moLog->setProperty("liveTask", data.HasWorker ? QVariant(id) : QVariant());
        }
    } else if (PageControl1->currentWidget() == moErrorLog)
        showText(moErrorLog, FManager->ErrorText(id));
}

void TBatchFileDealMainFrm::showText(QPlainTextEdit *memo, const QString &text)
{
    // A log that grows while it is read keeps the reader's place; one read to
    // its end follows the new lines.
    const char *shown = "shownText";
    const QVariant before = memo->property(shown);
    if (before.isValid() && before.toString() == text)
        return;
    QScrollBar *bar = memo->verticalScrollBar();
    const int at = before.isValid() ? bar->value() : 0;
    const bool atEnd = at > 0 && at == bar->maximum();
    memo->setPlainText(text);
    memo->setProperty(shown, text);
    bar->setValue(atEnd ? bar->maximum() : at);
}

void TBatchFileDealMainFrm::onLogLine(int id, const QString &line)
{
    if (!moLog || moLog->property("liveTask").toInt() != id || id == 0)
        return;
    // appendPlainText follows the end only for a reader who is there.
    moLog->appendPlainText(line);
}

bool TBatchFileDealMainFrm::needTask(qint32 &id)
{
    id = SelectedTask();
    if (id != 0)
        return true;
    TPrompter::Instance().Error(this, WLS_Hint, WLS_SelTask);
    return false;
}

void TBatchFileDealMainFrm::actStart()
{
    EnsureUi();
    qint32 id;
    if (needTask(id))
        FManager->Start(id);
}

void TBatchFileDealMainFrm::actPause()
{
    EnsureUi();
    qint32 id;
    if (needTask(id))
        FManager->Pause(id);
}

void TBatchFileDealMainFrm::actDel()
{
    EnsureUi();
    qint32 id;
    if (!needTask(id))
        return;
    FManager->Delete(id);
    const int row = RowOf(id);
    if (row >= 0) {
        const QSignalBlocker block(sgTaskList);
        sgTaskList->removeRow(row);
    }
    FGridRow = -1;
    sgTaskList->clearSelection();
    clearDetails();
}

void TBatchFileDealMainFrm::actRestart()
{
    EnsureUi();
    qint32 id;
    if (currentTag() == 0 || !needTask(id))
        return;
    FManager->Restart(id);
    onTaskChanged(id);
}

void TBatchFileDealMainFrm::actStartAll()
{
    EnsureUi();
    const int tag = currentTag();
    if (tag != BTL_UploadActive && tag != BTL_DownloadActive)
        return;
    for (int i = 0; i < sgTaskList->rowCount(); ++i)
        FManager->Start(sgTaskList->item(i, 0)->data(Qt::UserRole).toInt());
}

void TBatchFileDealMainFrm::actPauseAll()
{
    EnsureUi();
    for (int i = 0; i < sgTaskList->rowCount(); ++i)
        FManager->Pause(sgTaskList->item(i, 0)->data(Qt::UserRole).toInt());
}

void TBatchFileDealMainFrm::actDelAll()
{
    EnsureUi();
    const int tag = currentTag();
    if (tag > 0) {
        const bool dustbin = tag == BTL_UploadDustbin || tag == BTL_DownloadDustbin;
        for (int i = 0; i < sgTaskList->rowCount(); ++i)
            FManager->ApplyState(sgTaskList->item(i, 0)->data(Qt::UserRole).toInt(), dustbin ? BTS_Unknown : BTS_Deleted);
    }
    const QSignalBlocker block(sgTaskList);
    sgTaskList->setRowCount(0);
    FGridRow = -1;
    clearDetails();
}

void TBatchFileDealMainFrm::openLocalFolder()
{
    qint32 id;
    if (!needTask(id))
        return;
    TBatchTaskRow data;
    if (!FManager->Row(id, data))
        return;
    const TBatchTransport &task = data.Task;
    QString local = task.TranStyle == TS_Upload ? task.SourceFolderName : task.DestFolderName;
    if (task.FF == FF_File || QFileInfo(local).isFile())
        local = QFileInfo(local).absolutePath();
    // A folder of our own task text, opened as a folder only: no program is started on a file.
    if (QFileInfo(local).isDir())
        QDesktopServices::openUrl(QUrl::fromLocalFile(local));
}

bool TBatchFileDealMainFrm::RaiseEditor()
{
    if (!m_editor)
        return false;
    m_editor->raise();
    m_editor->activateWindow();
    return true;
}

void TBatchFileDealMainFrm::AppendTask(const TBatchTransport &val)
{
    // A command that comes while the editor is open (its loop runs) gets no
    // second editor: the user finishes the open one first.
    if (!m_config || RaiseEditor())
        return;
    TTaskAddFrm editor(*m_config, FHS_Language, FManager->IndexFolder(), this);
    m_editor = &editor;
    editor.SetTaskInfo(val);
    FRunEditor(editor);
    TBatchTransport task = editor.FNewTaskInfo;
    if (!editor.FIsCompleted || task.Id <= 0)
        return;
    FManager->AppendTask(task, editor.FFilesSelected ? &editor.FExcludedKeys : nullptr);
    SelectList(task.TranStyle == TS_Upload ? BTL_UploadActive : BTL_DownloadActive);
    SelectTask(task.Id);
    PageControl1->setCurrentIndex(0);
    showDetails();
}

void TBatchFileDealMainFrm::AppendTask()
{
    if (RaiseEditor())
        return;
    TBatchTransport task;
    const bool includeRoot = m_config ? m_config->IsIncludeRoot() : true;
    switch (PendingTaskRecord(FPendingTask, includeRoot, task)) {
    case TPendingTaskCheck::ErrData: TPrompter::Instance().Error(this, WLS_Hint, WLS_ErrData); return;
    case TPendingTaskCheck::SelectFolder: TPrompter::Instance().Error(this, WLS_Hint, WLS_SelectFolder); return;
    case TPendingTaskCheck::Ok: break;
    }
    AppendTask(task);
}

void TBatchFileDealMainFrm::ResetTaskInfo()
{
    EnsureUi();
    qint32 id;
    if (RaiseEditor() || !needTask(id) || !m_config)
        return;
    FManager->Reload();
    TBatchTransport stored;
    if (!FManager->Task(id, stored))
        return;
    TTaskAddFrm editor(*m_config, FHS_Language, FManager->IndexFolder(), this);
    m_editor = &editor;
    editor.SetTaskInfo(stored);
    FRunEditor(editor);
    if (!editor.FIsCompleted)
        return;
    // Only what the editor changed is stored: a run or another program may have changed the rest meanwhile.
    FManager->ModifyTask(stored, editor.FNewTaskInfo, editor.FFilesSelected ? &editor.FExcludedKeys : nullptr);
    onTaskChanged(id);
}

void TBatchFileDealMainFrm::NewTask()
{
    TBatchTransport task;
    NewBatchTransport(task);
    task.TranStyle = TS_Upload;
    task.FF = FF_Folder;
    task.IncludeRootPath = m_config ? m_config->IsIncludeRoot() : true;
    AppendTask(task);
}

void TBatchFileDealMainFrm::UMRobotShowComplete(qint32 id)
{
    if (FManager->IsListedOneOff(id))
        TPrompter::Instance().Info(this, WLS_Hint, WLS_TranComplete);
}
