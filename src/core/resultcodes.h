#pragma once
#include <QString>

enum THS_Language { HSL_NONE = 0, HSL_ENG = 1, HSL_CN = 2 };
enum TTranStyle { TS_Default = 0, TS_Upload = 1, TS_Download = 2, TS_DataImport = 3 };

// Leaves text untouched for an unknown code or a language other than Chinese/English.
void ResultCodeText(int code, int language, QString &text);
QString ResultCodeText(int code, int language);
