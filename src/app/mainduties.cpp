#include "app/mainduties.h"

#include "app/clipboardaccess.h"
#include "core/clientconfigx.h"
#include "core/helpers.h"
#include "core/tagtext.h"
#include "core/workpools.h"


namespace {
const QString kConsumed = QStringLiteral("  ");
} // namespace

TMainDuties::TMainDuties(TClientConfigX &config, std::shared_ptr<TSessionBackend> backend, TClipboardAccess &clipboard, Clock clock,
                         QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_backend(std::move(backend))
    , m_clipboard(clipboard)
    , m_clock(std::move(clock))
{
    FLastDt = m_clock() - 1;
}

void TMainDuties::Tick(bool loggedIn)
{
    if (!loggedIn)
        return;
    Q_EMIT webMessage();
    poll();
    clipboardEdit();
    clipboardBatch();
}

void TMainDuties::SetMsgType(int kind)
{
    const TDateTime now = m_clock();
    TDateTime until = now;
    switch (kind) {
    case 1: until = now + 0.041677; break;
    case 2: until = now + 1; break;
    case 3: until = now + 7; break;
    default: break;
    }
    m_config.SetLastTimeOfViewMsg(until);
    m_config.Save();
}

void TMainDuties::poll()
{
    if (m_polling)
        return;
    const TServerAddress server{m_config.ServerHost(), m_config.ServerPort(), m_config.IsSSL()};
    const bool needInterval = FMsgHintSpace <= 0;
    if (!needInterval) {
        const TDateTime now = m_clock();
        if (!(now - FLastDt > FMsgHintSpace && now > m_config.LastTimeOfViewMsg()))
            return;
        FLastDt = now;
    }
    const QString encryptId = m_config.EncryptId();
    const THS_Language language = m_config.Language();
    std::shared_ptr<TSessionBackend> backend = m_backend;
    m_polling = true;

    struct Outcome {
        int seconds = 0;
        bool waiting = false;
    };
    RunOnPool(RequestPool(), this, [backend, server, encryptId, language, needInterval]() {
        Outcome o;
        if (needInterval) {
            o.seconds = backend->PollIntervalSeconds(server);
            return o;
        }
        o.waiting = backend->HasUserMessages(server, encryptId, language);
        return o;
    }, [this](const Outcome &o) {
        m_polling = false;
        if (o.seconds > 0)
            FMsgHintSpace = o.seconds / 86400.0;
        if (o.waiting)
            Q_EMIT messagesWaiting();
    });
}

void TMainDuties::clipboardEdit()
{
    if (!HasEditMonitor)
        return;
    const QString t = m_clipboard.Text();
    if (StrToInt64Def(GetTagValue(t, QStringLiteral("Key")), 0) == 0)
        return;
    m_clipboard.SetText(kConsumed);
    Q_EMIT editCommand(t);
}

void TMainDuties::clipboardBatch()
{
    if (!HasBatchWindow)
        return;
    const QString t = m_clipboard.Text();
    if (StrToIntDef(GetTagValue(t, QStringLiteral("TranStyle")), 0) == 0
        || StrToIntDef(GetTagValue(t, QStringLiteral("FF")), 0) == 0)
        return;
    m_clipboard.SetText(kConsumed);
    Q_EMIT batchCommand(t);
}
