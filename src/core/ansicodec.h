#pragma once
// The "ANSI" code page of stored files and protected strings. Off Windows it is
// fixed to GBK (code page 936) so files and cipher texts match the server's.
#include <QByteArray>
#include <QString>

QByteArray AnsiFromText(const QString &text);   // unmappable characters become '?'
QString AnsiToText(const QByteArray &bytes);     // invalid bytes become U+FFFD
