#pragma once
// Permission numbers 0..111 from the server's permission texts, minus the ones
// switched off locally through "cof_custom.sys".
#include <QStringList>
#include <array>

struct THS_MemberPowers {
    std::array<quint8, 14> bits{};
    bool has(int n) const { return n >= 0 && n < 112 && (bits[size_t(n / 8)] >> (n % 8)) & 1; }
    void set(int n)
    {
        if (n >= 0 && n < 112)
            bits[size_t(n / 8)] |= quint8(1u << (n % 8));
    }
};

// Loaded once at start, before any other thread exists.
void LoadDisabledPowers();
void SetDisabledPowers(const QStringList &entries);
bool IsPowerForbidden(int n);
THS_MemberPowers ParseMemberPowers(const QString &text);
