#pragma once
// Errors of the wire layer. Operations that "let transport errors rise" throw
// ENetError; the others catch it and keep its text as the client's last error.
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
