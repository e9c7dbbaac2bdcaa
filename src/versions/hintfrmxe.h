#pragma once
// The version-control status monitor: one row per result line (file, hint, time).
// Closing only hides it; its rows stay until the program ends.
#include "core/resultcodes.h"

#include <QWidget>

class QTreeWidget;
class QLabel;

class THintFrmXe : public QWidget
{
    Q_OBJECT
public:
    explicit THintFrmXe(THS_Language language, QWidget *parent = nullptr);

    void AddLog(const QString &fileName, const QString &hintInfo);
    // Shows it in front with its last row in view.
    void ToFront();
    void ScrollToEnd();

    QTreeWidget *ListView1 = nullptr;
    int RowCount() const;
    QString Cell(int row, int column) const;

protected:
    void closeEvent(QCloseEvent *event) override;
};
