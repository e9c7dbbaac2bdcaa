#pragma once
#include <QByteArray>
#include <QString>

// One command handed over by a web page: a number and its own tag-text parameters.
struct TWebCmd {
    unsigned Code = 0;
    QString Cmd;
};

inline const QString kWebCmdFileName = QStringLiteral("WebCmd.txt");

// "[Code]N[/Code][Cmd]C[/Cmd]", no line break.
QString WebCmdText(const TWebCmd &cmd);
// Written as UTF-8 with a byte-order mark (which the reader detects) so that no
// character of a command is lost; replaced atomically so a reader never sees half.
bool WriteWebCmdFile(const QString &path, const TWebCmd &cmd, QString *error = nullptr);
