#pragma once
// The small window in which web commands show their errors and progress.
#include "core/resultcodes.h"

#include <QUrl>
#include <QWidget>

#include <functional>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class TPreViewHint : public QWidget
{
    Q_OBJECT
public:
    explicit TPreViewHint(THS_Language language, QWidget *parent = nullptr);

    QString Text() const;
    QPushButton *btnOpenFolder = nullptr;
    QPushButton *btnClose = nullptr;
    // Opens the offered folder; replaceable so tests start no file manager.
    std::function<bool(const QUrl &)> FOpenUrl;

public Q_SLOTS:
    void ShowText(const QString &text);
    // picture 1 marks an error; anything else is progress.
    void ShowHint(const QString &text, int picture);
    // The next text is about a file that could not be opened: offer its folder.
    void OfferFolder(const QString &folder);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    QPlainTextEdit *m_memo = nullptr;
    QLabel *m_picture = nullptr;
    QString m_folder;
    bool m_folderPending = false;
};
