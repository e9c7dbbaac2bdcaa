#pragma once
// The 500 ms duties of the main window while a user is logged in, in their
// order: web commands, the message poll, clipboard edit and batch commands.
// Server calls run off the GUI thread; a poll in flight is not started twice.
#include "app/sessionbackend.h"
#include "core/wiredate.h"

#include <QObject>
#include <functional>
#include <memory>

class TClientConfigX;
class TClipboardAccess;

class TMainDuties : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<TDateTime()>;
    TMainDuties(TClientConfigX &config, std::shared_ptr<TSessionBackend> backend, TClipboardAccess &clipboard, Clock clock,
                QObject *parent = nullptr);

    void Tick(bool loggedIn);
    // Reminder suppression chosen in the message notice (1281): 1 hour, 1 day, 1 week, else none.
    void SetMsgType(int kind);

    // Whether the receivers of clipboard commands exist yet.
    bool HasEditMonitor = false;
    bool HasBatchWindow = false;

    TDateTime FMsgHintSpace = 0;  // days; 0 until the server said
    TDateTime FLastDt = 0;
    bool IsPolling() const { return m_polling; }

Q_SIGNALS:
    void webMessage();
    void messagesWaiting();
    void editCommand(const QString &text);
    void batchCommand(const QString &text);

private:
    void poll();
    void clipboardEdit();
    void clipboardBatch();

    TClientConfigX &m_config;
    std::shared_ptr<TSessionBackend> m_backend;
    TClipboardAccess &m_clipboard;
    Clock m_clock;
    bool m_polling = false;
};
