#pragma once
// The file windows' user texts, chosen by the configured language. Without a
// language the windows keep their Chinese captions.
#include "core/resultcodes.h"
#include "net/neterror.h"

#include <QString>

inline QString LangText(THS_Language lang, const char *cn, const char *en)
{
    return lang == HSL_ENG ? QString::fromUtf8(en) : QString::fromUtf8(cn);
}

struct TFileMagTexts {
    explicit TFileMagTexts(THS_Language lang)
        : WLS_Hint(LangText(lang, "提示", "Hint"))
        , WLS_SelOne(LangText(lang, "一次只能选择一个文件", "You can only select a file!"))
        , WLS_SelOne2(LangText(lang, "请至少选择一个文件", "Please select at least one file!"))
        , WLS_SelGroup(LangText(lang, "选择工作组", "Select the working group!"))
        , WLS_SelFolder(LangText(lang, "请选择工作目录", "Please select the working directory!"))
        , WLS_UploadFF(LangText(lang, "是否上传以下文件或文件夹:", "Upload the following files or folders: "))
        , WLS_DEL(LangText(lang, "确认删除选择文件？", "Confirm deleting the selected files?"))
        , WLS_NewFolder(LangText(lang, "成功创建文件夹", "Creating folder is succeeded."))
        , WLS_RenameFolder(LangText(lang, "成功重命名文件夹", "Renaming folder is succeeded."))
    {
    }
    QString WLS_Hint, WLS_SelOne, WLS_SelOne2, WLS_SelGroup, WLS_SelFolder, WLS_UploadFF, WLS_DEL, WLS_NewFolder,
        WLS_RenameFolder;
};

struct TUploadTexts {
    explicit TUploadTexts(THS_Language lang)
        : WLS_Hint(LangText(lang, "提示", "Hint"))
        , WLS_ErrSize(LangText(lang, "上传失败，文件大小超出服务器设置的允许上传文件的大小",
                               "Upload failed, because the file size exceeds the upload file size limit"))
        , WLS_ErrKind(LangText(lang, "上传失败，文件类型不在服务器端允许范围内！",
                               "Upload failed because the file type is not allowed to upload to the server!"))
        , WLS_UploadOK(LangText(lang, "上传成功！", "Upload successful!"))
        , WLS_SameFile(LangText(lang, "存在相同文件！", "There is the same file!"))
        , WLS_ChkPath(LangText(lang, "请检查文件路径", "Please check the file path"))
        , WLS_IsContinue(LangText(lang, "是否继续？", "Continue or not?"))
    {
    }
    QString WLS_Hint, WLS_ErrSize, WLS_ErrKind, WLS_UploadOK, WLS_SameFile, WLS_ChkPath, WLS_IsContinue;
};

struct TDownloadTexts {
    explicit TDownloadTexts(THS_Language lang)
        : WLS_Hint(LangText(lang, "提示", "Hint"))
        , WLS_DownloadOK(LangText(lang, "下载成功！", "Download success!"))
        , WLS_SelPath(LangText(lang, "请选择下载路径！", "Please select a download path!"))
        , WLS_IsNewPath(LangText(lang, "不存在的本地保存路径，是否新建路径？", "The path does not exist, whether the new path?"))
        , WLS_NewPathErr(LangText(lang, "新建本地保存路径失败！", "Failed to create save path!"))
        , WLS_AllOK(LangText(lang, "全部任务完成！", "All tasks are completed!"))
    {
    }
    QString WLS_Hint, WLS_DownloadOK, WLS_SelPath, WLS_IsNewPath, WLS_NewPathErr, WLS_AllOK;
};

