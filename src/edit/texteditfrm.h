#pragma once
// The text editor: downloads the file, shows it in its own encoding and line
// endings, and stores it back the same way as a new version.
#include "edit/edittexts.h"
#include "edit/fileeditbasefrm.h"
#include "edit/textcodec.h"

class QAction;
class QFontComboBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QToolBar;

class TTextFileEditFrm : public TFileEditBaseFrm
{
    Q_OBJECT
public:
    TTextFileEditFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent = nullptr);

    int Edit(const QString &fileName, const QString &ext, qint64 fileKey) override;
    int SaveAndUpload(QString *error) override;
    void CancelEdit() override;

    // Loads a local copy as the download does (tests and the screenshot script).
    bool LoadCopy(const QString &path);
    TTextEncoding FileEncoding() const { return FFileEncoding; }
    QString EditorText() const;
    void SetToolbarVisible(bool visible);
    // Finds the next match after the cursor, wrapping once.
    bool FindNext(const QString &text);

    QPlainTextEdit *Editor = nullptr;
    QToolBar *StandardToolBar = nullptr;
    QFontComboBox *FontName = nullptr;
    QSpinBox *FontSize = nullptr;
    QWidget *plToolbar = nullptr;
    QPushButton *spbSave = nullptr;
    QPushButton *spbCancel = nullptr;
    QLineEdit *edtFind = nullptr;

Q_SIGNALS:
    void closedAfterEdit();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void applyFont();

    TTextEncoding FFileEncoding = TTextEncoding::Ansi;
    TTextFileCodec m_codec;
    bool FUpdating = false;
};
