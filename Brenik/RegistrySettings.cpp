#include "RegistrySettings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <algorithm>

namespace {

const QString RootKey = QStringLiteral("HKEY_CURRENT_USER");
const QString FileHeader = QStringLiteral("Windows Registry Editor Version 5.00");
const QString OldFileHeader = QStringLiteral("REGEDIT4");

// The program writes a few hundred bytes; anything this large is not a
// settings file of ours, and reading it whole would stall the GUI.
constexpr qint64 MaxFileSize = 16 * 1024 * 1024;
// The registry editor keeps hex lines within 80 columns.
constexpr int HexLineWidth = 77;

constexpr int RegSz = 1;
constexpr int RegBinary = 3;
constexpr int RegDword = 4;

// Splits a path at "\" and drops empty parts ("a\\b\" is a\b).
QStringList PathParts(const QString& Path)
{
    return Path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
}

bool SamePath(const QString& A, const QString& B)
{
    return A.compare(B, Qt::CaseInsensitive) == 0;
}

bool IsBelow(const QString& Path, const QString& Ancestor)
{
    return Path.size() > Ancestor.size() + 1 && Path.at(Ancestor.size()) == QLatin1Char('\\')
        && SamePath(Path.left(Ancestor.size()), Ancestor);
}

QString Quote(const QString& Text)
{
    QString out;
    out.reserve(Text.size() + 2);
    out += QLatin1Char('"');
    for (QChar c : Text) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            out += QLatin1Char('\\');
        out += c;
    }
    out += QLatin1Char('"');
    return out;
}

// Reads a quoted text starting at Text[Pos] == '"' into Out and leaves Pos
// behind the closing quote; false when the closing quote is missing. Only a
// doubled backslash and a backslash-quote are escapes; a backslash before
// anything else stands for itself, as the registry editor reads it.
bool Unquote(const QString& Text, int& Pos, QString& Out)
{
    Out.clear();
    ++Pos;
    while (Pos < Text.size()) {
        QChar c = Text.at(Pos);
        if (c == QLatin1Char('"')) {
            ++Pos;
            return true;
        }
        if (c == QLatin1Char('\\') && Pos + 1 < Text.size()
            && (Text.at(Pos + 1) == QLatin1Char('\\') || Text.at(Pos + 1) == QLatin1Char('"'))) {
            Out += Text.at(Pos + 1);
            Pos += 2;
            continue;
        }
        Out += c;
        ++Pos;
    }
    return false;
}

QString FormatHex(const QString& Prefix, const QByteArray& Bytes)
{
    QString out = Prefix;
    int lineLength = Prefix.size();
    for (int i = 0; i < Bytes.size(); ++i) {
        QString token = QStringLiteral("%1").arg(uint(quint8(Bytes.at(i))), 2, 16, QLatin1Char('0'));
        if (i + 1 < Bytes.size())
            token += QLatin1Char(',');
        if (i > 0 && lineLength + token.size() > HexLineWidth) {
            out += QStringLiteral("\\\n  ");
            lineLength = 2;
        }
        out += token;
        lineLength += token.size();
    }
    return out;
}

QByteArray Utf16LE(const QString& Text)
{
    QByteArray out;
    out.reserve((Text.size() + 1) * 2);
    for (QChar c : Text) {
        out += char(c.unicode() & 0xFF);
        out += char(c.unicode() >> 8);
    }
    out += '\0';
    out += '\0';
    return out;
}

QString TypeName(TRegDataType Type)
{
    switch (Type) {
    case TRegDataType::String: return QStringLiteral("a string");
    case TRegDataType::Integer: return QStringLiteral("an integer");
    case TRegDataType::Other: return QStringLiteral("neither a string nor an integer");
    case TRegDataType::Unknown: break;
    }
    return QStringLiteral("missing");
}

} // namespace

TRegistrySettings::TRegistrySettings(const QString& FileName)
    : FFileName(FileName.isEmpty() ? DefaultFileName() : FileName), FCurrentPath(RootKey)
{
}

QString TRegistrySettings::DefaultFileName()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG base directory rules say a relative value is to be ignored.
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Quillet/BrenikAlerts.reg");
}

// ---------------------------------------------------------------------------
// The file

void TRegistrySettings::Load()
{
    FKeys.clear();
    FCurrentPath = RootKey;
    FSaveRefused = false;
    FSaveRefusedReason.clear();

    QFileInfo info(FFileName);
    if (!info.exists())
        return;
    QFile file(FFileName);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        FSaveRefused = true;
        FSaveRefusedReason = QStringLiteral("The settings are not saved, so that the unreadable file \"%1\" is not overwritten.")
                                 .arg(FFileName);
        throw ERegistryException(QStringLiteral("The settings file \"%1\" could not be read (%2). The settings start from their defaults and will not be saved over it.")
                                     .arg(FFileName, info.isDir() ? QStringLiteral("it is a folder") : file.errorString()));
    }
    if (file.size() > MaxFileSize) {
        file.close();
        SetAside(QStringLiteral("it is larger than %1 MiB").arg(MaxFileSize / (1024 * 1024)));
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        FSaveRefused = true;
        FSaveRefusedReason = QStringLiteral("The settings are not saved, so that the unreadable file \"%1\" is not overwritten.")
                                 .arg(FFileName);
        throw ERegistryException(QStringLiteral("The settings file \"%1\" could not be read (%2). The settings start from their defaults and will not be saved over it.")
                                     .arg(FFileName, file.errorString()));
    }
    file.close();
    try {
        Parse(bytes);
    } catch (const ERegistryFileDamaged& e) {
        FKeys.clear();
        SetAside(e.Message());
    }
}

void TRegistrySettings::SetAside(const QString& Reason)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = FFileName + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = FFileName + QStringLiteral(".damaged-") + stamp + QLatin1Char('-') + QString::number(n);
    if (QFile::rename(FFileName, target))
        throw ERegistryFileDamaged(QStringLiteral("The settings file \"%1\" is damaged (%2). It was kept as \"%3\" and the settings start from their defaults.")
                                       .arg(FFileName, Reason, target));
    FSaveRefused = true;
    FSaveRefusedReason = QStringLiteral("The settings are not saved, so that the damaged file \"%1\" is not overwritten.")
                             .arg(FFileName);
    throw ERegistryFileDamaged(QStringLiteral("The settings file \"%1\" is damaged (%2) and could not be renamed aside. The settings start from their defaults and will not be saved over it.")
                                   .arg(FFileName, Reason));
}

void TRegistrySettings::Parse(const QByteArray& Bytes)
{
    QString text;
    if (Bytes.startsWith("\xFF\xFE")) {
        QStringDecoder decoder(QStringDecoder::Utf16LE);
        text = decoder(Bytes.mid(2));
        if (decoder.hasError() || Bytes.size() % 2 != 0)
            throw ERegistryFileDamaged(QStringLiteral("it is not valid UTF-16 text"));
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8);
        text = decoder(Bytes.startsWith("\xEF\xBB\xBF") ? Bytes.mid(3) : Bytes);
        if (decoder.hasError())
            throw ERegistryFileDamaged(QStringLiteral("it is not valid UTF-8 text"));
    }
    if (text.contains(QChar(0)))
        throw ERegistryFileDamaged(QStringLiteral("it holds NUL characters"));

    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& line : lines)
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);

    auto damaged = [](int LineIndex, const QString& What) {
        return ERegistryFileDamaged(QStringLiteral("line %1: %2").arg(LineIndex + 1).arg(What));
    };

    int i = 0;
    while (i < lines.size() && lines.at(i).trimmed().isEmpty())
        ++i;
    if (i == lines.size())
        throw ERegistryFileDamaged(QStringLiteral("it is empty"));
    const QString header = lines.at(i).trimmed();
    if (header != FileHeader && header != OldFileHeader)
        throw damaged(i, QStringLiteral("the first line is not \"%1\"").arg(FileHeader));
    ++i;

    int key = -1;
    for (; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            if (!line.endsWith(QLatin1Char(']')))
                throw damaged(i, QStringLiteral("a key line does not end with \"]\""));
            const QString path = line.mid(1, line.size() - 2).trimmed();
            if (path.startsWith(QLatin1Char('-')))
                throw damaged(i, QStringLiteral("a key deletion is not a setting"));
            const QStringList parts = PathParts(path);
            if (parts.isEmpty())
                throw damaged(i, QStringLiteral("a key has no name"));
            CreateKey(parts.join(QLatin1Char('\\')));
            key = FindKey(parts.join(QLatin1Char('\\')));
            continue;
        }
        if (key < 0)
            throw damaged(i, QStringLiteral("a value stands before the first key"));

        TValue value;
        int pos = 0;
        if (line.startsWith(QLatin1Char('@'))) {
            pos = 1;
        } else if (line.startsWith(QLatin1Char('"'))) {
            if (!Unquote(line, pos, value.Name))
                throw damaged(i, QStringLiteral("a value name has no closing quote"));
        } else {
            throw damaged(i, QStringLiteral("a value line does not begin with a quoted name or \"@\""));
        }
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        if (pos >= line.size() || line.at(pos) != QLatin1Char('='))
            throw damaged(i, QStringLiteral("\"=\" is missing after the value name"));
        ++pos;
        while (pos < line.size() && line.at(pos).isSpace())
            ++pos;
        const QString data = line.mid(pos);

        if (data.startsWith(QLatin1Char('"'))) {
            int end = 0;
            if (!Unquote(data, end, value.Text))
                throw damaged(i, QStringLiteral("a string has no closing quote"));
            if (!data.mid(end).trimmed().isEmpty())
                throw damaged(i, QStringLiteral("text follows the closing quote"));
            value.Type = TRegDataType::String;
        } else if (data.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
            const QString digits = data.mid(6).trimmed();
            bool ok = false;
            const uint number = digits.toUInt(&ok, 16);
            if (!ok || digits.isEmpty() || digits.size() > 8 || digits.startsWith(QLatin1Char('+'))
                || digits.startsWith(QLatin1Char('-')))
                throw damaged(i, QStringLiteral("\"%1\" is not a dword of 1 to 8 hex digits").arg(data));
            value.Type = TRegDataType::Integer;
            value.Dword = number;
        } else if (data.startsWith(QLatin1String("hex"), Qt::CaseInsensitive)) {
            int p = 3;
            int type = RegBinary;
            if (p < data.size() && data.at(p) == QLatin1Char('(')) {
                const int close = data.indexOf(QLatin1Char(')'), p);
                bool ok = false;
                type = close > p + 1 ? data.mid(p + 1, close - p - 1).toInt(&ok, 16) : 0;
                if (!ok || type < 0)
                    throw damaged(i, QStringLiteral("the hex type is not a hex number"));
                p = close + 1;
            }
            if (p >= data.size() || data.at(p) != QLatin1Char(':'))
                throw damaged(i, QStringLiteral("\":\" is missing after \"hex\""));
            QString bytesText = data.mid(p + 1).trimmed();
            const int firstLine = i;
            while (bytesText.endsWith(QLatin1Char('\\'))) {
                bytesText.chop(1);
                // A continuation line is never blank; a blank one means the
                // value was cut off.
                if (++i >= lines.size() || lines.at(i).trimmed().isEmpty())
                    throw damaged(firstLine, QStringLiteral("hex data is cut off"));
                bytesText += lines.at(i).trimmed();
            }
            QByteArray raw;
            const QStringList tokens = bytesText.split(QLatin1Char(','));
            for (int t = 0; t < tokens.size(); ++t) {
                const QString token = tokens.at(t).trimmed();
                if (token.isEmpty() && t == tokens.size() - 1)
                    break; // "hex:" with no bytes, or a trailing comma
                bool ok = false;
                const uint byte = token.toUInt(&ok, 16);
                if (!ok || token.size() > 2 || token.startsWith(QLatin1Char('+')))
                    throw damaged(firstLine, QStringLiteral("\"%1\" is not a hex byte").arg(token));
                raw += char(byte);
            }
            if (type == RegSz && raw.size() % 2 == 0 && raw.endsWith(QByteArray(2, '\0'))) {
                QStringDecoder decoder(QStringDecoder::Utf16LE);
                QString decoded = decoder(raw.left(raw.size() - 2));
                if (!decoder.hasError()) {
                    value.Type = TRegDataType::String;
                    value.Text = decoded;
                }
            } else if (type == RegDword && raw.size() == 4) {
                value.Type = TRegDataType::Integer;
                value.Dword = quint8(raw.at(0)) | quint32(quint8(raw.at(1))) << 8
                    | quint32(quint8(raw.at(2))) << 16 | quint32(quint8(raw.at(3))) << 24;
            }
            if (value.Type == TRegDataType::Unknown) {
                value.Type = TRegDataType::Other;
                value.RawType = type;
                value.Raw = raw;
            }
        } else {
            throw damaged(i, QStringLiteral("\"%1\" is neither a quoted string, a dword nor hex data").arg(data.left(40)));
        }

        // As when importing: a value named twice takes the later data.
        TKey& target = FKeys[key];
        auto found = std::find_if(target.Values.begin(), target.Values.end(),
            [&](const TValue& v) { return SamePath(v.Name, value.Name); });
        if (found != target.Values.end()) {
            value.Name = found->Name;
            *found = value;
        } else {
            target.Values.append(value);
        }
    }
}

void TRegistrySettings::Save()
{
    if (FSaveRefused)
        throw ERegistryException(FSaveRefusedReason);
    const QFileInfo info(FFileName);
    if (!QDir().mkpath(info.absolutePath()))
        throw ERegistryException(QStringLiteral("The settings could not be saved: the folder \"%1\" could not be created.")
                                     .arg(info.absolutePath()));
    QSaveFile file(FFileName);
    if (!file.open(QIODevice::WriteOnly))
        throw ERegistryException(QStringLiteral("The settings could not be saved to \"%1\": %2")
                                     .arg(FFileName, file.errorString()));
    const QByteArray text = FileText();
    if (file.write(text) != text.size() || !file.commit()) {
        const QString error = file.errorString();
        file.cancelWriting();
        throw ERegistryException(QStringLiteral("The settings could not be saved to \"%1\": %2")
                                     .arg(FFileName, error));
    }
}

QByteArray TRegistrySettings::FileText() const
{
    // Keys in tree order, names compared without case, like an export.
    QList<const TKey*> keys;
    for (const TKey& k : FKeys)
        keys.append(&k);
    std::stable_sort(keys.begin(), keys.end(), [](const TKey* A, const TKey* B) {
        const QStringList a = PathParts(A->Path), b = PathParts(B->Path);
        for (int i = 0; i < std::min(a.size(), b.size()); ++i) {
            const int c = a.at(i).compare(b.at(i), Qt::CaseInsensitive);
            if (c != 0)
                return c < 0;
        }
        return a.size() < b.size();
    });

    QString out = FileHeader + QStringLiteral("\n\n");
    for (const TKey* k : keys) {
        out += QLatin1Char('[') + k->Path + QStringLiteral("]\n");
        for (const TValue& v : k->Values) {
            const QString name = v.Name.isEmpty() ? QStringLiteral("@") : Quote(v.Name);
            switch (v.Type) {
            case TRegDataType::String:
                if (v.Text.contains(QLatin1Char('\n')) || v.Text.contains(QLatin1Char('\r')) || v.Text.contains(QChar(0)))
                    out += FormatHex(name + QStringLiteral("=hex(1):"), Utf16LE(v.Text));
                else
                    out += name + QLatin1Char('=') + Quote(v.Text);
                break;
            case TRegDataType::Integer:
                out += name + QStringLiteral("=dword:") + QStringLiteral("%1").arg(v.Dword, 8, 16, QLatin1Char('0'));
                break;
            case TRegDataType::Other:
            case TRegDataType::Unknown:
                out += FormatHex(name + (v.RawType == RegBinary ? QStringLiteral("=hex:")
                                                                 : QStringLiteral("=hex(%1):").arg(v.RawType, 0, 16)),
                    v.Raw);
                break;
            }
            out += QLatin1Char('\n');
        }
        out += QLatin1Char('\n');
    }
    return out.toUtf8();
}

// ---------------------------------------------------------------------------
// Keys

QString TRegistrySettings::Resolve(const QString& Key) const
{
    QStringList parts;
    if (Key.startsWith(QLatin1Char('\\')))
        parts << RootKey;
    else
        parts = PathParts(FCurrentPath);
    parts += PathParts(Key);
    return parts.join(QLatin1Char('\\'));
}

int TRegistrySettings::FindKey(const QString& FullPath) const
{
    for (int i = 0; i < FKeys.size(); ++i)
        if (SamePath(FKeys.at(i).Path, FullPath))
            return i;
    return -1;
}

TRegistrySettings::TKey& TRegistrySettings::CreateKey(const QString& FullPath)
{
    const int index = FindKey(FullPath);
    if (index >= 0)
        return FKeys[index];
    FKeys.append(TKey{FullPath, {}});
    return FKeys.last();
}

bool TRegistrySettings::OpenKey(const QString& Key, bool CanCreate)
{
    const QString path = Resolve(Key);
    if (CanCreate && FindKey(path) < 0 && !SamePath(path, RootKey))
        CreateKey(path);
    else if (!KeyExists(Key))
        return false;
    FCurrentPath = path;
    return true;
}

void TRegistrySettings::CloseKey()
{
    FCurrentPath = RootKey;
}

bool TRegistrySettings::KeyExists(const QString& Key) const
{
    const QString path = Resolve(Key);
    if (SamePath(path, RootKey))
        return true;
    return std::any_of(FKeys.begin(), FKeys.end(),
        [&](const TKey& k) { return SamePath(k.Path, path) || IsBelow(k.Path, path); });
}

QStringList TRegistrySettings::GetKeyNames(const QString& Key) const
{
    const QString path = Resolve(Key);
    const int depth = PathParts(path).size();
    QStringList names;
    for (const TKey& k : FKeys) {
        if (!IsBelow(k.Path, path))
            continue;
        const QString name = PathParts(k.Path).at(depth);
        if (!names.contains(name, Qt::CaseInsensitive))
            names.append(name);
    }
    return names;
}

// ---------------------------------------------------------------------------
// Values

const TRegistrySettings::TValue* TRegistrySettings::FindValue(const QString& FullPath, const QString& Name) const
{
    const int index = FindKey(FullPath);
    if (index < 0)
        return nullptr;
    for (const TValue& v : FKeys.at(index).Values)
        if (SamePath(v.Name, Name))
            return &v;
    return nullptr;
}

TRegistrySettings::TValue& TRegistrySettings::ValueForWrite(const QString& FullPath, const QString& Name)
{
    // A name that holds a line break cannot be written to the file.
    Assert(!Name.contains(QLatin1Char('\n')) && !Name.contains(QLatin1Char('\r')), "RegistrySettings");
    TKey& key = CreateKey(FullPath);
    for (TValue& v : key.Values)
        if (SamePath(v.Name, Name))
            return v;
    key.Values.append(TValue{});
    key.Values.last().Name = Name;
    return key.Values.last();
}

bool TRegistrySettings::ValueExists(const QString& Name) const
{
    return FindValue(FCurrentPath, Name) != nullptr;
}

TRegDataType TRegistrySettings::GetDataType(const QString& Name) const
{
    const TValue* v = FindValue(FCurrentPath, Name);
    return v ? v->Type : TRegDataType::Unknown;
}

QStringList TRegistrySettings::GetValueNames() const
{
    QStringList names;
    const int index = FindKey(FCurrentPath);
    if (index >= 0)
        for (const TValue& v : FKeys.at(index).Values)
            names.append(v.Name);
    return names;
}

QString TRegistrySettings::ReadString(const QString& Name) const
{
    const TValue* v = FindValue(FCurrentPath, Name);
    if (!v || v->Type != TRegDataType::String)
        throw ERegistryException(QStringLiteral("Invalid data type for \"%1\" in \"%2\": a string was expected, the value is %3.")
                                     .arg(Name, FCurrentPath, TypeName(v ? v->Type : TRegDataType::Unknown)));
    return v->Text;
}

qint32 TRegistrySettings::ReadInteger(const QString& Name) const
{
    const TValue* v = FindValue(FCurrentPath, Name);
    if (!v || v->Type != TRegDataType::Integer)
        throw ERegistryException(QStringLiteral("Invalid data type for \"%1\" in \"%2\": an integer was expected, the value is %3.")
                                     .arg(Name, FCurrentPath, TypeName(v ? v->Type : TRegDataType::Unknown)));
    return qint32(v->Dword);
}

void TRegistrySettings::WriteString(const QString& Name, const QString& Value)
{
    TValue& v = ValueForWrite(FCurrentPath, Name);
    v = TValue{v.Name, TRegDataType::String, Value, 0, 0, {}};
}

void TRegistrySettings::WriteInteger(const QString& Name, qint32 Value)
{
    TValue& v = ValueForWrite(FCurrentPath, Name);
    v = TValue{v.Name, TRegDataType::Integer, {}, quint32(Value), 0, {}};
}

bool TRegistrySettings::DeleteValue(const QString& Name)
{
    const int index = FindKey(FCurrentPath);
    if (index < 0)
        return false;
    return FKeys[index].Values.removeIf([&](const TValue& v) { return SamePath(v.Name, Name); }) > 0;
}

// ---------------------------------------------------------------------------
// Sections

QString TRegistrySettings::SectionPath(const QString& Section) const
{
    return Resolve(Section);
}

QString TRegistrySettings::ReadString(const QString& Section, const QString& Name, const QString& Default) const
{
    const QString path = SectionPath(Section);
    const TValue* v = FindValue(path, Name);
    if (!v)
        return Default;
    if (v->Type != TRegDataType::String)
        throw ERegistryException(QStringLiteral("Invalid data type for \"%1\" in \"%2\": a string was expected, the value is %3.")
                                     .arg(Name, path, TypeName(v->Type)));
    return v->Text;
}

qint32 TRegistrySettings::ReadInteger(const QString& Section, const QString& Name, qint32 Default) const
{
    const QString path = SectionPath(Section);
    const TValue* v = FindValue(path, Name);
    if (!v)
        return Default;
    switch (v->Type) {
    case TRegDataType::Integer:
        return qint32(v->Dword);
    case TRegDataType::String: {
        bool ok = false;
        const int number = v->Text.trimmed().toInt(&ok, 10);
        return ok ? number : Default;
    }
    case TRegDataType::Other:
    case TRegDataType::Unknown:
        break;
    }
    throw ERegistryException(QStringLiteral("Invalid data type for \"%1\" in \"%2\": an integer or a string was expected, the value is %3.")
                                 .arg(Name, path, TypeName(v->Type)));
}

void TRegistrySettings::WriteString(const QString& Section, const QString& Name, const QString& Value)
{
    TValue& v = ValueForWrite(SectionPath(Section), Name);
    v = TValue{v.Name, TRegDataType::String, Value, 0, 0, {}};
}

void TRegistrySettings::WriteInteger(const QString& Section, const QString& Name, qint32 Value)
{
    TValue& v = ValueForWrite(SectionPath(Section), Name);
    if (v.Type == TRegDataType::String)
        v.Text = QString::number(Value);
    else
        v = TValue{v.Name, TRegDataType::Integer, {}, quint32(Value), 0, {}};
}

TRegDataType TRegistrySettings::GetDataType(const QString& Section, const QString& Name) const
{
    const TValue* v = FindValue(SectionPath(Section), Name);
    return v ? v->Type : TRegDataType::Unknown;
}
