#include "versions/hintfrmxe.h"

#include "core/wiredate.h"
#include "versions/versiontexts.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

THintFrmXe::THintFrmXe(THS_Language language, QWidget *parent)
    : QWidget(parent, Qt::Window)
{
    const auto t = [language](const char *cn, const char *en) { return VcText(language, cn, en); };
    setWindowTitle(t("版本控制状态监控", "Version control status monitoring"));
    QFont f(language == HSL_CN ? QStringLiteral("宋体") : QStringLiteral("Tahoma"), 9);
    setFont(f);
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(t("版本控制操作记录", "Operation records of version control"), this);
    QFont bold = f;
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    layout->addWidget(new QLabel(t("版本控制操作记录：", "Operation records of version control:"), this));
    ListView1 = new QTreeWidget(this);
    ListView1->setRootIsDecorated(false);
    ListView1->setAlternatingRowColors(false);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Long paths keep their file name in view.
    ListView1->setTextElideMode(Qt::ElideLeft);
    ListView1->setHeaderLabels({t("文件名", "Filename"), t("提示信息", "Hint"), t("时间", "Datetime")});
    ListView1->setColumnWidth(0, 254);
    ListView1->setColumnWidth(1, 210);
    ListView1->setColumnWidth(2, 150);
    ListView1->setStyleSheet(QStringLiteral("QTreeWidget::item { border-right: 1px solid #d0d0d0; border-bottom: 1px solid #d0d0d0; }"));
    layout->addWidget(ListView1, 1);
    auto *close = new QPushButton(t("关闭", "Close"), this);
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QWidget::hide);
    layout->addWidget(close, 0, Qt::AlignRight);
    resize(640, 360);
}

void THintFrmXe::AddLog(const QString &fileName, const QString &hintInfo)
{
    auto *item = new QTreeWidgetItem(ListView1, {fileName, hintInfo, FormatWireDateTime(NowDateTime())});
    item->setToolTip(0, fileName);
    item->setToolTip(1, hintInfo);
    ScrollToEnd();
}

void THintFrmXe::ToFront()
{
    show();
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
    ScrollToEnd();
}

void THintFrmXe::ScrollToEnd()
{
    if (ListView1->topLevelItemCount() > 0)
        ListView1->scrollToItem(ListView1->topLevelItem(ListView1->topLevelItemCount() - 1));
}

int THintFrmXe::RowCount() const { return ListView1->topLevelItemCount(); }

QString THintFrmXe::Cell(int row, int column) const
{
    const QTreeWidgetItem *item = ListView1->topLevelItem(row);
    return item ? item->text(column) : QString();
}

void THintFrmXe::closeEvent(QCloseEvent *event)
{
    event->ignore();
    hide();
}
