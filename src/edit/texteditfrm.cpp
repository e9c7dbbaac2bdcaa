#include "edit/texteditfrm.h"

#include "core/folders.h"
#include "core/textfile.h"
#include "platform/prompter.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFile>
#include <QFontComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QPushButton>
#include <QSpinBox>
#include <QToolBar>
#include <QVBoxLayout>

namespace {
constexpr qint64 kMaxEditBytes = 64 * 1024 * 1024;
const char *kButtonStyle = "QPushButton { color: rgb(0,118,163); }";
} // namespace

TTextFileEditFrm::TTextFileEditFrm(const TServerConn &conn, const QString &configFolder, QWidget *parent)
    : TFileEditBaseFrm(conn, configFolder, parent)
{
    setObjectName(QStringLiteral("TTextFileEditFrm"));
    setWindowTitle(EditorTexts.Caption);

    StandardToolBar = new QToolBar(this);
    StandardToolBar->setObjectName(QStringLiteral("StandardToolBar"));
    Editor = new QPlainTextEdit(this);
    Editor->setObjectName(QStringLiteral("Editor"));
    Editor->setLineWrapMode(QPlainTextEdit::NoWrap);
    Editor->document()->setDocumentMargin(6);

    auto addAction = [this](const QString &text, const QString &hint, auto slot) {
        QAction *a = StandardToolBar->addAction(text);
        a->setToolTip(hint);
        a->setStatusTip(hint);
        connect(a, &QAction::triggered, Editor, slot);
        return a;
    };
    addAction(EditorTexts.Cut, EditorTexts.CutHint, &QPlainTextEdit::cut);
    addAction(EditorTexts.Copy, EditorTexts.CopyHint, &QPlainTextEdit::copy);
    addAction(EditorTexts.Paste, EditorTexts.PasteHint, &QPlainTextEdit::paste);
    addAction(EditorTexts.Undo, EditorTexts.UndoHint, &QPlainTextEdit::undo);
    StandardToolBar->addSeparator();
    FontName = new QFontComboBox(StandardToolBar);
    FontName->setObjectName(QStringLiteral("FontName"));
    FontName->setToolTip(EditorTexts.FontNameHint);
    FontName->setCurrentFont(font());
    StandardToolBar->addWidget(FontName);
    FontSize = new QSpinBox(StandardToolBar);
    FontSize->setObjectName(QStringLiteral("FontSize"));
    FontSize->setToolTip(EditorTexts.FontSizeHint);
    FontSize->setRange(6, 72);
    FontSize->setValue(10);
    StandardToolBar->addWidget(FontSize);
    connect(FontName, &QFontComboBox::currentFontChanged, this, &TTextFileEditFrm::applyFont);
    connect(FontSize, &QSpinBox::valueChanged, this, &TTextFileEditFrm::applyFont);
    StandardToolBar->addSeparator();
    edtFind = new QLineEdit(StandardToolBar);
    edtFind->setObjectName(QStringLiteral("edtFind"));
    edtFind->setPlaceholderText(EditorTexts.Find);
    edtFind->setMaximumWidth(180);
    StandardToolBar->addWidget(edtFind);
    QAction *findNext = StandardToolBar->addAction(EditorTexts.FindNext);
    connect(findNext, &QAction::triggered, this, [this] { FindNext(edtFind->text()); });
    connect(edtFind, &QLineEdit::returnPressed, this, [this] { FindNext(edtFind->text()); });

    plToolbar = new QWidget(this);
    plToolbar->setObjectName(QStringLiteral("plToolbar"));
    auto *tools = new QHBoxLayout(plToolbar);
    tools->setContentsMargins(4, 2, 4, 2);
    spbSave = new QPushButton(EditorTexts.Save, plToolbar);
    spbSave->setObjectName(QStringLiteral("spbSave"));
    spbCancel = new QPushButton(EditorTexts.Cancel, plToolbar);
    spbCancel->setObjectName(QStringLiteral("spbCancel"));
    for (QPushButton *b : {spbSave, spbCancel}) {
        b->setStyleSheet(QLatin1String(kButtonStyle));
        b->setFlat(true);
        tools->addWidget(b);
    }
    tools->addStretch();
    plToolbar->hide();
    connect(spbSave, &QPushButton::clicked, this, &TTextFileEditFrm::saveFromButton);
    connect(spbCancel, &QPushButton::clicked, this, &TTextFileEditFrm::cancelFromButton);
    connect(this, &TFileEditBaseFrm::uploadFinished, this, &TTextFileEditFrm::finishButtonUpload);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(plToolbar);
    layout->addWidget(StandardToolBar);
    layout->addWidget(Editor, 1);
    applyFont();
}

void TTextFileEditFrm::SetToolbarVisible(bool visible)
{
    plToolbar->setVisible(visible);
}

void TTextFileEditFrm::applyFont()
{
    if (FUpdating)
        return;
    QFont f = FontName->currentFont();
    f.setPointSize(FontSize->value());
    Editor->setFont(f);
}

QString TTextFileEditFrm::EditorText() const
{
    // The raw text keeps no-break spaces and line separators that the plain text would
    // turn into blanks and line breaks; only the block breaks are the file's lines.
    QString text = Editor->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, u'\n');
    return text;
}

int TTextFileEditFrm::Edit(const QString &fileName, const QString &ext, qint64 fileKey)
{
    TFileEditBaseFrm::Edit(fileName, ext, fileKey);
    const QDateTime now = QDateTime::currentDateTime();
    FEditFileName = GetTempFolder() + now.toString(QStringLiteral("yyMMddHHmmss")) + QString::number(now.time().msec())
                    + u'.' + ext;
    downloadForEdit([this](bool ok) {
        if (ok && LoadCopy(FEditFileName))
            setWindowTitle(FSourceFileName + QStringLiteral(" - ") + Texts.WLS_Edit);
        else if (ok)
            giveUpEditing();
        Q_EMIT editReady(ok && IsEditing());
    });
    return 1;
}

bool TTextFileEditFrm::LoadCopy(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxEditBytes) {
        log(f.errorString());
        return false;
    }
    m_codec = TTextFileCodec::Read(f.readAll());
    FFileEncoding = m_codec.Encoding();
    Editor->setPlainText(m_codec.Text());
    Editor->setFocus();
    Editor->document()->setModified(false);
    return true;
}

int TTextFileEditFrm::SaveAndUpload(QString *error)
{
    if (IsBusy() || !IsEditing())
        return 0;
    FNogList.clear();
    const QString text = EditorText();
    QByteArray bytes;
    if (m_codec.CanHold(text)) {
        bytes = m_codec.Write(text);
    } else {
        // Written as it is, the characters the encoding lacks would become "?".
        if (!TPrompter::Instance().Ask(this, Texts.WLS_Hint, EditorTexts.CannotHold.arg(TextEncodingName(m_codec.Encoding()))))
            return 0;
        bytes = m_codec.WriteAs(text, TTextEncoding::Utf8Bom);
    }
    QString why;
    if (!WriteFileAtomic(FEditFileName, bytes, &why)) {
        log(why);
        if (error)
            *error = FNogList.join(QStringLiteral("\r\n"));
        Q_EMIT uploadFinished(false, FNogList.join(QStringLiteral("\r\n")));
        return 0;
    }
    uploadEditedCopy([this, bytes](const TEditTransfer::Upload &u) {
        const bool ok = u.Ok || u.Unchanged;
        if (ok) {
            // What is stored now is what the next save compares with.
            m_codec = TTextFileCodec::Read(bytes);
            FFileEncoding = m_codec.Encoding();
            Editor->document()->setModified(false);
        }
        // After a failure the text stays modified, so closing asks again.
        Q_EMIT uploadFinished(ok, FNogList.join(QStringLiteral("\r\n")));
    });
    return 1;
}

void TTextFileEditFrm::CancelEdit()
{
    // Ends the edit for good: the check-out record goes too, so no later
    // check-in can publish what the user chose to throw away.
    if (IsEditing())
        giveUpEditing();
}

void TTextFileEditFrm::closeEvent(QCloseEvent *event)
{
    if (m_closing || !IsEditing()) {
        event->accept();
        return;
    }
    if (IsBusy()) {
        event->ignore();
        return;
    }
    // Closing must not lose typed text: changed text is offered for upload first.
    if (Editor->document()->isModified()) {
        if (TPrompter::Instance().Ask(this, Texts.WLS_Hint, Texts.WLS_IsUpload)) {
            event->ignore();
            saveFromButton();
            return;
        }
        if (!TPrompter::Instance().Ask(this, Texts.WLS_Hint, EditorTexts.WLS_CancelEdit)) {
            event->ignore();
            return;
        }
    }
    CancelEdit();
    event->accept();
}

bool TTextFileEditFrm::FindNext(const QString &text)
{
    if (text.isEmpty())
        return false;
    if (Editor->find(text))
        return true;
    QTextCursor start = Editor->textCursor();
    start.movePosition(QTextCursor::Start);
    Editor->setTextCursor(start);
    return Editor->find(text);
}
