#pragma once
#include <QString>

QString ExtWithoutDot(const QString &fileName);
QString FileNameWithoutExt(const QString &fileName);

// 32-bit code of an extension: lower-cased, of the first four characters each one
// with a code in 33..8363 appended as its low byte. "docx" -> 0x646F6378.
quint32 ExtCode(const QString &ext);
quint32 FileExtCode(const QString &ext);
QString ExtCodeText(quint32 code);
bool IsImageExt(quint32 code);
bool IsDrawingExt(quint32 code);
