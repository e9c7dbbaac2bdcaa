#include "core/resultcodes.h"

namespace {

struct CodeText {
    int code;
    const char16_t *cn;
    const char *en;
};

constexpr CodeText kTexts[] = {
    {0, u"未知错误", "Unknown error"},
    {2, u"链接超时", "Connection timed out"},
    {3, u"可以上传", "Uploading is enabled"},
    {4, u"文件重复", "Duplicate files are found."},
    {5, u"用户被禁用", "The user account is disabled."},
    {6, u"用户空间不足", "Out of space"},
    {7, u"不是合法的用户编号", "This is not the legal user code."},
    {8, u"此文件已经不存在", "The file doesn't exist."},
    {10, u"可以下载", "Downloading is enabled."},
    {11, u"创建文件错误", "Error in creating file"},
    {12, u"打开文件错误", "Error in opening file"},
    {13, u"没有权限", "No privilege"},
    {14, u"文件已锁定", "The file has been locked."},
    {15, u"文件是旧版本", "This is old vision."},
    {16, u"文件内容没有变化", "There is no change in content."},
    {17, u"没有签出该文件", "The file has not been checked out."},
    {18, u"文件夹不存在", "The folder doesn't exist."},
    {19, u"存在锁定文件", "There is a locked file."},
    {20, u"存在相同的文件夹或者找不到父文件夹", "There is duplicate folder or no father folder."},
    {21, u"无效数据或者服务器保存数据错误", "Invalid data or create file error"},
    {22, u"不能给自己授权", "You cannot grant permission to yourself."},
    {23, u"错误的搜索条件", "Wrong search criteria"},
    {24, u"文件未通过上传审核，不能使用", "The file is disabled without audit approval for uploading."},
    {25, u"文件已删除", "The file is deleted."},
    {27, u"该文件需要审核才能下载，已为您提交审核申请", "An application has been submitted because audit approval is required to download the file."},
    {28, u"该文件需要审核才能预览，已为您提交审核申请", "An application has been submitted because audit approval is required to review the file."},
    {29, u"该文件需要通过修改审核才能修改成功，已经发起审核流程", "An application has been submitted because audit approval is required to edit the file."},
    {30, u"该文件正在进行修改审核", "The file is in the process of Edit audit."},
    {31, u"该文件夹下存在相同名称的文件并且已归档", "Presence of the same name files already exists in the folder and archived"},
    {32, u"存在归档文件", "There is a archived file."},
    {33, u"文件已归档", "File has been archived."},
    {34, u"文件大小超出允许上传的文件大小限制！", "File size exceeds the allowed upload file size limit!"},
    {35, u"文件先签出后才能上传(签入)新版本！", "File is allowed to be uploaded (or checked in) only after it's been checked out.!"},
    {37, u"没有创建文件夹权限", "No privilege of create folder"},
    {38, u"没有相应的密级", "No relevent classificaion"},
    {39, u"父文件夹为空", "Father folder is null"},
    {52, u"服务器文件比本地文件旧", "Server files for the old version"},
    {53, u"保存文件失败", "Save file error"},
    {55, u"此文件和回收站内文件重复，文件已经从回收站恢复", "This file is duplicated with the files in the recycle, recovered from the recycle."},
    {60, u"强制文件审核限制", "Document forcibly custom audit limited"},
    {61, u"您下载文件的数量超出系统规定的数量，请联系管理员！", "The maximum number of downloaded files is exceeded. Please contact Administrator!"},
    {101, u"服务器数端据错误或者网络错误", "Server data error or network error "},
};

} // namespace

void ResultCodeText(int code, int language, QString &text)
{
    if (language != HSL_CN && language != HSL_ENG)
        return;
    for (const CodeText &t : kTexts) {
        if (t.code == code) {
            text = language == HSL_CN ? QString::fromUtf16(t.cn) : QString::fromLatin1(t.en);
            return;
        }
    }
}

QString ResultCodeText(int code, int language)
{
    QString text;
    ResultCodeText(code, language, text);
    return text;
}
