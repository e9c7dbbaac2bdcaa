#pragma once
// The server's file-property page, without a window: which properties a
// property text names, the scripts that fill the page with their values and
// read the result back. Values reach the page only as attribute values of
// hidden inputs, escaped, never as markup or script of their own.
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace FilePropertyPage {
// The ids of the "proid" list that can name a page element; others are skipped.
QStringList PropertyIds(const QString &prtParams);
// A script answering {id: type} of the first element named "FilePrt" + id.
QString ElementTypesScript(const QStringList &ids);
QHash<QString, QString> ParseElementTypes(const QVariant &result);
// One hidden input "h_FilePrt" + id per property holding its value; radio and
// check-box values have their "," turned into "*#*#".
QString HiddenInputsHtml(const QString &prtParams, const QStringList &ids, const QHash<QString, QString> &types);
// Pastes the inputs at the end of the body, then runs the page's fillProperty().
QString FillScript(const QString &html);
// Runs the page's checkFilePrt(), then answers [isOK, filePrt].
QString CheckScript();
// true with the property text when the page said "1".
bool ParseCheck(const QVariant &result, QString &prtParams);
QString HtmlAttribute(const QString &value);
} // namespace FilePropertyPage
