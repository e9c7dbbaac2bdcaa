#pragma once
// The one place where a local path is built from a name or path that came from
// the server or a web page. Everything that writes or reads a local file under a
// folder the user chose goes through SafeJoin, so a hostile or broken name can
// never reach outside that folder.
#include <QString>
#include <optional>

// Joins folder and an untrusted relative name or path ("a\b\c.txt" or "a/b/c.txt";
// both separators are accepted). Refused, with a message in *error (when given):
// an empty folder or name; a name that is absolute or rooted ("/x", "\x", "\\srv\x");
// a drive letter or any ":" (also alternate data streams); a control character
// (U+0000..U+001F, U+007F); a component ".." or any component made only of dots
// and blanks (Windows strips those, so "... " would act as ".."); a reserved
// Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an
// extension). Empty components ("a//b") are skipped. The result is cleaned and must
// lie strictly inside folder, also after resolving the symbolic links of the part
// of it that already exists. Separators in the result are "/".
std::optional<QString> SafeJoin(const QString &folder, const QString &untrustedRelative,
                                QString *error = nullptr);

// True when the name is one safe path component on its own (no separator at all).
bool IsSafeFileName(const QString &name);
