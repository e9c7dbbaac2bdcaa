#pragma once
// User texts of the version-control windows: Chinese for HSL_CN, English otherwise.
#include "core/resultcodes.h"

#include <QString>

inline QString VcText(THS_Language lang, const char *cn, const char *en)
{
    return QString::fromUtf8(lang == HSL_CN ? cn : en);
}

struct TVersionTexts {
    explicit TVersionTexts(THS_Language lang)
        : WLS_Replace(VcText(lang, "本机的文件比服务器端文件新，是否用服务器端的文件覆盖本机文件？",
                             "An newer file exists locally. Do you want to overwrite the local file with its older vision on the server?"))
        , WLS_Hint(VcText(lang, "提示", "Hint"))
        , WLS_SelFolder(VcText(lang, "选择签出目录", "Select the checkout directory"))
        , WLS_OpenFailed(VcText(lang, "文件打开失败", "Failed to open file"))
        , WLS_CheckOut(VcText(lang, "已成功签出", "Successfully checked out"))
        , WLS_CancelCheckOut(VcText(lang, "已成功取消签出", "Checkout cancelled"))
        , WLS_Modify(VcText(lang, "该文件正在进行修改审核", "The file is in the process of Edit audit."))
        , WLS_Missing(VcText(lang, "您没有签出该文件或者本地签出信息已丢失", "Failed to check in due to a missing local file"))
        , WLS_CheckIn(VcText(lang, "已成功签入", "Successfully checked in"))
    {
    }
    QString WLS_Replace, WLS_Hint, WLS_SelFolder, WLS_OpenFailed, WLS_CheckOut, WLS_CancelCheckOut, WLS_Modify,
        WLS_Missing, WLS_CheckIn;
};
