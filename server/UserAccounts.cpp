#include "UserAccounts.h"

#include <QFile>

std::optional<TUserAccounts> TUserAccounts::FromText(const QByteArray& Text, QString& Error)
{
    TUserAccounts accounts;
    const QList<QByteArray> lines = Text.split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith('#'))
            continue;
        const QString where = QStringLiteral("line %1: ").arg(i + 1);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0) {
            Error = where + QStringLiteral("expected name:password");
            return std::nullopt;
        }
        const QByteArray name = line.left(colon);
        const QByteArray password = line.mid(colon + 1);
        if (name.isEmpty() || password.isEmpty()) {
            Error = where + QStringLiteral("empty user name or password");
            return std::nullopt;
        }
        if (accounts.FPasswords.contains(name)) {
            Error = where + QStringLiteral("user \"%1\" is listed twice").arg(QString::fromUtf8(name));
            return std::nullopt;
        }
        accounts.Add(name, password);
    }
    return accounts;
}

std::optional<TUserAccounts> TUserAccounts::LoadFile(const QString& FileName, QString& Error)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly)) {
        Error = QStringLiteral("cannot read users file %1: %2").arg(FileName, file.errorString());
        return std::nullopt;
    }
    std::optional<TUserAccounts> accounts = FromText(file.readAll(), Error);
    if (!accounts)
        Error = QStringLiteral("users file %1, %2").arg(FileName, Error);
    return accounts;
}

void TUserAccounts::Add(const QByteArray& UserName, const QByteArray& Password)
{
    FPasswords.insert(UserName, Password);
}

bool TUserAccounts::Accepts(const QByteArray& UserName, const QByteArray& Password) const
{
    const auto it = FPasswords.constFind(UserName);
    return it != FPasswords.constEnd() && *it == Password;
}
