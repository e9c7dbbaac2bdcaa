#pragma once
// The rows the version dialogs are built of: a bold title, a label with a
// path box and its "Select" button, and the Confirm and Cancel buttons.
#include <QString>

class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;
class QWidget;

QLabel *addTitleRow(QVBoxLayout *layout, const QString &text, QWidget *owner);

struct PathRow {
    QLineEdit *edit = nullptr;
    QPushButton *select = nullptr;
};
PathRow addPathRow(QVBoxLayout *layout, const QString &label, const QString &select, int minWidth, bool readOnly, QWidget *owner);

struct ConfirmRow {
    QPushButton *confirm = nullptr;
    QPushButton *cancel = nullptr;
};
ConfirmRow addConfirmRow(QVBoxLayout *layout, const QString &confirm, const QString &cancel, QWidget *owner);
