#include "edit/edittexts.h"

namespace {
QString pick(THS_Language l, const char *cn, const char *en)
{
    return QString::fromUtf8(l == HSL_CN ? cn : en);
}
} // namespace

TEditTexts TEditTexts::For(THS_Language l)
{
    TEditTexts t;
    t.WLS_Hint = pick(l, "提示", "Hint");
    t.WLS_InWriteAudit = pick(l, "文件正在进行修改审核，不能上传！",
                              "The file is in the audit process now and can not be uploaded!");
    t.WLS_Audit = QStringLiteral("成功修改文件， 但该文件需要审核才能生效。");
    t.WLS_UplaodError2 = pick(l, "上传错误，文件另存到 -- ", "An error occurred while uploading, File saveas to -- ");
    t.WLS_DownloadOK = pick(l, "下载成功!", " Download successfully!");
    t.WLS_Edit = pick(l, "修改", "Modify");
    t.WLS_IsUpload = pick(l, "文件还没有上传到服务器，是否现在上传？",
                          "File has not uploaded to the server, whether now upload?");
    t.WLS_Cancel = QStringLiteral("确认取消？");
    t.WLS_CopyKept = pick(l, "上传错误，无法另存副本，修改后的文件仍在 -- ",
                          "An error occurred while uploading and no copy could be saved; the edited file stays at -- ");
    t.WLS_CheckedOutCopy = pick(l, "已检出的本地文件原样打开，未重新下载", " The checked-out local file is opened as it is, not downloaded again");
    t.WLS_LeftoverCopy = pick(l, "上次未完成编辑的本地文件原样打开，未重新下载",
                              " The copy of an earlier unfinished edit is opened as it is, not downloaded again");
    return t;
}

TMonitorTexts TMonitorTexts::For(THS_Language l)
{
    TMonitorTexts t;
    t.WLS_UpdateOk = pick(l, "成功修改文件", " Successfully modified the file ");
    t.WLS_Audit = QStringLiteral("成功修改文件， 但该文件需要审核才能生效。");
    t.WLS_UpdateError = pick(l, ",上传时发生错误：", ", An error occurred while uploading: ");
    t.WLS_UplaodError2 = pick(l, "上传错误，文件另存到 -- ", "An error occurred while uploading, File saveas to -- ");
    t.WLS_NoChange = pick(l, "文件关闭，内容没有发生改变", " The file is closed and unchanged ");
    t.WLS_CurrentFile = pick(l, "当前文件: ", "Current file : ");
    t.WLS_DownloadOK = pick(l, "下载成功!", " Download successfully!");
    t.WLS_OpenOK = pick(l, "成功打开", " Opened sccessfully ");
    t.WLS_OpenFailed = pick(l, "打开失败", " Open failed ");
    t.WLS_Monitor = pick(l, "文件在线编辑状态监控", " Status monitor for file editing ");
    t.WLS_FileTime = pick(l, " 文件时间:", " File time:");
    t.WLS_LB0 = pick(l, "编辑提示：", "Tips:");
    t.WLS_LB1 = pick(l, "1：编辑当前打开的文档，完成编辑后保存文档。",
                     "1: You need save the currentlly open file after you finish editing.");
    t.WLS_LB2 = pick(l, "2：关闭编辑文档，系统会把当前编辑的文档保存到服务器。",
                     "2: The currentlly open file will be automatically saved on server when you close it.");
    t.WLS_InUse = pick(l, "正在编辑", "in use");
    t.WLS_Watching = pick(l, "正在监控的文件：", "Files being watched:");
    t.Finished = pick(l, "完成编辑", "Finished editing");
    t.Undecided = pick(l, "编辑完成后请点击“完成编辑”", "click \"Finished editing\" when done");
    t.ChangeUploaded = pick(l, "已上传保存的修改，编辑继续", " The saved change was uploaded; the edit goes on");
    t.LeftoverQuestion = pick(l, "上次运行时以下文件的编辑没有完成：\n\n%1\n\n是否把它作为新版本上传？选择“否”将释放文件，本地副本保留。",
                              "The edit of this file did not end when the client last ran:\n\n%1\n\nUpload it as a new version? No gives the file back and keeps the copy.");
    t.LeftoverKept = pick(l, "文件已释放，修改后的副本保留在 -- ", " The file was given back; the changed copy stays at -- ");
    t.GivenBack = pick(l, "文件已释放", " The file was given back");
    return t;
}

TEditorTexts TEditorTexts::For(THS_Language l)
{
    TEditorTexts t;
    t.WLS_CancelEdit = pick(l, "确认取消编辑？", "Confirm cancel editing?");
    t.WLS_UpladeOver = pick(l, "修改成功！", "Modified successfully!");
    t.WLS_PrintPreview = pick(l, "打印预览", "Print preview");
    t.WLS_PrintPreviewCancel = pick(l, "取消打印预览", "Cancel preview");
    t.Save = pick(l, "保存并上传文件", "Save and upload");
    t.Cancel = pick(l, "取消修改", "Cancel");
    t.Find = pick(l, "查找", "Find");
    t.FindNext = pick(l, "查找下一个", "Find next");
    t.Status = pick(l, "状态：", "Status:");
    t.Caption = QStringLiteral("file edit");
    t.Cut = pick(l, "剪切(&T)", "Cu&t");
    t.CutHint = pick(l, "剪切所选内容", "Delete selected item");
    t.Copy = pick(l, "复制(&C)", "&Copy");
    t.CopyHint = pick(l, "把所选内容复制到剪贴板", "Copy selected item to clipboard");
    t.Paste = pick(l, "粘贴(&P)", "&Paste");
    t.PasteHint = pick(l, "粘贴剪贴板的内容", "Paste contents of clipboard");
    t.Undo = pick(l, "撤销(&U)", "&Undo");
    t.UndoHint = pick(l, "撤销上一步操作", "Undo the last action");
    t.FontNameHint = pick(l, "字体", "Font name");
    t.FontSizeHint = pick(l, "字号", "Font size");
    t.OfficeOpen = pick(l, "文档已在办公软件中打开。编辑并保存后，点击“保存并上传文件”。",
                        "The document is open in the office application. Edit and save it there, then click \"Save and upload\".");
    t.OfficeClosed = pick(l, "办公软件已关闭文档。", "The office application has closed the document.");
    t.OfficeStillOpen = pick(l, "文档仍在办公软件中打开。请先在办公软件中保存并关闭文档，再上传。",
                             "The document is still open in the office application. Save and close it there first, then upload.");
    t.OfficeNotInstalled = pick(l, "需要本地安装LibreOffice或WPS！", "Need to install LibreOffice or WPS!");
    t.UnfinishedEdits = pick(l, "以下文件的编辑尚未完成，退出将无法上传修改：\n\n%1\n\n是否仍要退出？",
                             "These files are still being edited; their changes will not be uploaded if you exit now:\n\n%1\n\nExit anyway?");
    t.CannotHold = pick(l, "文本中有 %1 编码无法保存的字符，保存时将变成“?”。是否改为 UTF-8 编码保存？",
                        "The text has characters that the file's encoding (%1) cannot store; they would be saved as \"?\". Save the file as UTF-8 instead?");
    return t;
}
