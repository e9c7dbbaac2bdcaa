#pragma once
// What the version-control windows need of the session, as one snapshot taken
// on the GUI thread, and how they store the two settings they change.
#include "model/serverconn.h"

#include <functional>

class TClientConfigX;

struct TVersionSession {
    TServerConn Conn;
    QString WorkRoot;            // ends in a separator
    QString LastCheckoutPath;    // empty when never set
    QString ConfigFolder;        // where checkout_record.ini and workpath_record.ini live
    bool OpenAfterCheckout = true;
    // Store and save the configured LastCheckoutPath / WorkRoot; may be empty in tests.
    std::function<void(const QString &)> SaveLastCheckoutPath;
    // False when the configuration could not be written.
    std::function<bool(const QString &)> SaveWorkRoot;
    std::function<void(bool)> SaveOpenAfterCheckout;

    // Savers write into config, which must outlive every window made from the snapshot.
    static TVersionSession FromConfig(TClientConfigX &config, const QString &configFolder);
};

// Yes/No through the prompter on the GUI thread; from a worker it waits for the answer.
bool AskOnGuiThread(const QString &caption, const QString &question);
// Runs f on the GUI thread soon (queued), from any thread.
void PostToGuiThread(std::function<void()> f);
