#pragma once
// Errors of the wire layer. Operations that "let transport errors rise" throw
// ENetError; the others catch it and keep its text as the client's last error.
#include "core/resultcodes.h"

#include <QString>
#include <exception>
#include <string>

enum class TNetErrorKind {
    Closed,      // the peer closed the connection (end of stream where data was due)
    Socket,      // connect refused, reset, broken pipe, unreachable, ...
    Timeout,     // no data within the read time-out (or the connect time-out)
    Resolve,     // the host name could not be resolved
    Tls,         // TLS set-up or record error
    Protocol,    // the peer sent something out of bounds (sizes, counts, line lengths)
    LocalOpen,   // a local file could not be opened or read
    LocalWrite,  // a local file could not be written (also: not enough disk space)
    Cancelled,   // the caller's cancel flag stopped a transfer
    Convert,     // a text from the server is not the number it has to be
};

class ENetError : public std::exception
{
public:
    ENetError(TNetErrorKind kind, const QString &message)
        : m_kind(kind), m_message(message), m_utf8(message.toStdString()) {}
    TNetErrorKind kind() const noexcept { return m_kind; }
    QString message() const { return m_message; }
    const char *what() const noexcept override { return m_utf8.c_str(); }

private:
    TNetErrorKind m_kind;
    QString m_message;
    std::string m_utf8;
};

// A text that should have been a number, e.g. the time line of a download
// or the body of GetLastModifyTime.
class EConvertError : public ENetError
{
public:
    explicit EConvertError(const QString &message) : ENetError(TNetErrorKind::Convert, message) {}
};

// A wire error in the interface language: the wire layer words its errors in
// English only, and a Chinese screen must not show them.
inline QString NetErrorText(TNetErrorKind kind, const QString &englishMessage, THS_Language lang)
{
    if (lang != HSL_CN)
        return englishMessage;
    switch (kind) {
    case TNetErrorKind::Socket:
    case TNetErrorKind::Resolve:
        return QStringLiteral("无法连接服务器，请检查服务器地址和端口，并确认服务器正在运行。");
    case TNetErrorKind::Timeout: return QStringLiteral("服务器没有及时应答，请确认服务器正在运行后重试。");
    case TNetErrorKind::Tls: return QStringLiteral("安全连接（SSL）失败，请检查此服务器是否要求SSL连接。");
    case TNetErrorKind::Closed: return QStringLiteral("服务器断开了连接，请稍后重试。");
    case TNetErrorKind::LocalOpen: return QStringLiteral("无法读取本地文件。");
    case TNetErrorKind::LocalWrite: return QStringLiteral("无法写入本地文件，请检查磁盘空间和权限。");
    case TNetErrorKind::Cancelled: return QStringLiteral("已取消。");
    case TNetErrorKind::Protocol:
    case TNetErrorKind::Convert: break;
    }
    return QStringLiteral("无法识别服务器的应答，请稍后重试。");
}
