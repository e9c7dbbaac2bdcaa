#pragma once
// Check-out, cancel check-out and check-in of a batch of files, without a window.
// Runs one batch on the calling thread (a worker in the client, the test thread in
// tests); every result line, question and "open this file" goes through the hooks,
// which the window routes to the GUI thread.
#include "model/serverconn.h"
#include "versions/versiontexts.h"

#include <QStringList>
#include <functional>

struct TVersionHooks {
    // One result line: the file (name or local path) and the text.
    std::function<void(const QString &name, const QString &text)> report;
    // Yes/No question; no hook means No.
    std::function<bool(const QString &question)> ask;
    // Opens a file or folder with its program; false with *why when it could not.
    std::function<bool(const QString &path, QString *why)> open;
};

class TVersionControl
{
public:
    TVersionControl(const TServerConn &conn, const QString &configFolder, TVersionHooks hooks);

    // keys in decimal, names in the same order (a name may carry a relative sub-path).
    // True when at least one file was checked out.
    bool CheckOut(const QStringList &keys, const QStringList &names, const QString &targetFolder,
                  bool keepLocalChanges, bool openFile);
    // True when at least one lock was released. The local copies stay.
    bool CancelCheckout(const QStringList &keys, const QStringList &names);
    // True when at least one file was accepted (stored, or waiting for audit).
    bool BathCheckin(const QStringList &keys, const QStringList &names);

    // Where a checked-out file goes: folder + the name's relative path, through the
    // safe join; empty (and *error) when the name would leave the folder.
    static QString CheckoutTarget(const QString &folder, const QString &name, QString *error = nullptr);
    // Design tools keep each save of an "asm" file as a numbered sibling (x.asm.1,
    // x.asm.2...): the highest one is what is checked in; without any, the file itself.
    static QString NumberedCopy(const QString &path);

    // A local copy more than this newer than the server's is not overwritten unasked.
    static constexpr double kNewerLocalSeconds = 5.0;
    static constexpr int kReadTimeout = 120000;

private:
    bool checkOutOne(qint64 key, const QString &name, const QString &target, bool keepLocalChanges);
    void report(const QString &name, const QString &text) const;
    bool ask(const QString &question) const;

    TServerConn m_conn;
    QString m_configFolder;
    TVersionHooks m_hooks;
    TVersionTexts m_texts;
};
