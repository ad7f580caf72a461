// The accounts that may log in to the alert server: user names with their
// passwords, compared byte for byte.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <optional>

class TUserAccounts {
public:
    // Reads the users file format: one "name:password" per line, split at the
    // first ":" (so a password may hold ":"); lines end with LF or CR LF;
    // blank lines and lines starting with "#" are skipped. A line without ":",
    // an empty name or password, or a name given twice is an error: the result
    // is empty and Error names the line ("line 3: expected name:password").
    static std::optional<TUserAccounts> FromText(const QByteArray& Text, QString& Error);
    // FromText of the file's content; an unreadable file is an error too.
    static std::optional<TUserAccounts> LoadFile(const QString& FileName, QString& Error);

    // Adds or replaces one account.
    void Add(const QByteArray& UserName, const QByteArray& Password);
    // True when the account exists and the password matches exactly.
    bool Accepts(const QByteArray& UserName, const QByteArray& Password) const;
    qsizetype Count() const { return FPasswords.size(); }

private:
    QHash<QByteArray, QByteArray> FPasswords;
};
