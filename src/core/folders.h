#pragma once
// Folder results end with "/" unless empty. Stored or typed paths may use "\";
// helpers here normalise them to "/" on this platform.
#include <QString>

QString GetExeFolder();
QString GetSpecialFolder(int kind);
QString GetDocumentsFolder();
QString GetTempFolder();      // configuration folder + "Temp/": private and persistent
QString GetConfigFolder();    // kind 16 + "Kv/", created with mode 0700
QString GetServerToolsFolder();
bool ForceFileFolder(const QString &path);

QString ToLocalSeparators(const QString &path);   // "\" -> "/" off Windows
QString IncludeTrailingSlash(const QString &folder);
