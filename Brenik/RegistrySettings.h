// The user's registry settings, kept on Linux in one text file in the
// registry editor's export format:
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\Software\Quillet\Brenik Alerts\Main]
//     "User"="alice"
//     "Left"=dword:00000046
//
// so that the layout of keys, values and value types is the same as on a
// system with a registry, and a file can be carried between the two. The file
// lives at ${XDG_CONFIG_HOME:-$HOME/.config}/Quillet/BrenikAlerts.reg unless
// the owner names another one.
//
// File grammar as read (written the same way, UTF-8, LF line ends):
//   file    = header { blank | comment | key-line | value-line }
//   header  = "Windows Registry Editor Version 5.00" | "REGEDIT4"
//   comment = ";" anything
//   key     = "[" full key path "]"           (a path begins with its root, e.g.
//                                               HKEY_CURRENT_USER; "\" separates)
//   value   = ( "@" | quoted-name ) "=" data
//   data    = quoted-string                   REG_SZ; "\\" and "\"" escaped
//           | "dword:" 1 to 8 hex digits      REG_DWORD
//           | "hex" [ "(" type ")" ] ":" bytes  any type; bytes are two-digit hex
//                                               numbers joined by ",", a line
//                                               ending in "\" continues on the next
// hex(1) (a string as UTF-16LE bytes) reads as REG_SZ and hex(4) of four bytes
// as REG_DWORD; every other hex type is kept byte for byte and reported as
// TRegDataType::Other. A string holding a line break or a NUL character is
// written as hex(1), since the quoted form cannot carry it. A file may also
// start with a UTF-8 or UTF-16LE byte-order mark (the registry editor writes
// UTF-16LE).
//
// Key and value names compare without regard to letter case, as in the
// registry; the first spelling is kept. Keys and values this program does not
// know (other programs' keys, other roots, unused values) are kept and written
// back unchanged. Comments are not kept.
//
// Everything runs on the GUI thread; the file is small and read or written in
// one go.
#pragma once

#include "Exceptions.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Errors of the registry settings: a value of an unusable type, a file that
// cannot be read or written.
BRENIK_DECLARE_EXCEPTION(ERegistryException, Exception)

// The settings file could not be understood. It was renamed aside (unless the
// message says that failed) and the settings start empty.
BRENIK_DECLARE_EXCEPTION(ERegistryFileDamaged, ERegistryException)

// The value types that matter here. Unknown = the value does not exist.
enum class TRegDataType { Unknown, String, Integer, Other };

// The program's own key below HKEY_CURRENT_USER.
inline constexpr const char* BrenikRegistryKey = "\\Software\\Quillet\\Brenik Alerts";

class TRegistrySettings {
public:
    // FileName empty = DefaultFileName(). Nothing is read until Load().
    explicit TRegistrySettings(const QString& FileName = QString());
    TRegistrySettings(const TRegistrySettings&) = delete;
    TRegistrySettings& operator=(const TRegistrySettings&) = delete;

    // ${XDG_CONFIG_HOME:-$HOME/.config}/Quillet/BrenikAlerts.reg
    static QString DefaultFileName();
    const QString& FileName() const { return FFileName; }

    // Reads the file, replacing what the object held. A missing file reads as
    // empty. A damaged file is renamed to <name>.damaged-<yyyyMMdd-HHmmss>,
    // the settings start empty and ERegistryFileDamaged is raised once with a
    // text for the user; the next Load finds no file. If the damaged file
    // cannot be renamed, or the file exists but cannot be read, Save() is
    // refused from then on so the file is never overwritten by defaults, and
    // ERegistryException tells so.
    void Load();

    // Writes the whole store atomically (temporary file, flush, rename): the
    // file holds either the old or the new text, never a part. Creates the
    // folder when needed. Raises ERegistryException on failure.
    void Save();

    // --- Key navigation, as with the registry API. Paths use "\"; a path
    // that begins with "\" starts at HKEY_CURRENT_USER, any other is relative
    // to the current key. The current key starts at HKEY_CURRENT_USER.
    bool OpenKey(const QString& Key, bool CanCreate);
    void CloseKey(); // back to HKEY_CURRENT_USER
    QString CurrentPath() const { return FCurrentPath; }
    bool KeyExists(const QString& Key) const;
    // Names of the direct sub-keys of Key that hold a key entry of their own
    // or below them, in file order.
    QStringList GetKeyNames(const QString& Key = QString()) const;

    // --- Values of the current key. Name "" is the key's default value.
    bool ValueExists(const QString& Name) const;
    TRegDataType GetDataType(const QString& Name) const;
    QStringList GetValueNames() const;
    // Raise ERegistryException when the value is missing or of another type.
    QString ReadString(const QString& Name) const;
    qint32 ReadInteger(const QString& Name) const;
    void WriteString(const QString& Name, const QString& Value);
    void WriteInteger(const QString& Name, qint32 Value);
    bool DeleteValue(const QString& Name);

    // --- Section access: a section is a sub-key of the current key (or an
    // absolute path when it begins with "\"). Reading never creates a key;
    // writing does.
    // The string value, or Default when absent; any other type raises.
    QString ReadString(const QString& Section, const QString& Name, const QString& Default) const;
    // A REG_DWORD as it stands; a REG_SZ parsed as a decimal number (text
    // that is not one gives Default); absent gives Default; any other type
    // raises ERegistryException.
    qint32 ReadInteger(const QString& Section, const QString& Name, qint32 Default) const;
    void WriteString(const QString& Section, const QString& Name, const QString& Value);
    // Writes a REG_DWORD, unless the value already exists as a REG_SZ: then
    // it is rewritten as a decimal string.
    void WriteInteger(const QString& Section, const QString& Name, qint32 Value);
    TRegDataType GetDataType(const QString& Section, const QString& Name) const;

    // The file text the store would be saved as.
    QByteArray FileText() const;

private:
    struct TValue {
        QString Name;
        TRegDataType Type = TRegDataType::Unknown;
        QString Text;      // String
        quint32 Dword = 0; // Integer
        int RawType = 0;   // Other: the registry type number
        QByteArray Raw;    // Other: the bytes as they stand
    };
    struct TKey {
        QString Path; // full path with its root, as first spelled
        QList<TValue> Values;
    };

    QString Resolve(const QString& Key) const;
    int FindKey(const QString& FullPath) const;
    TKey& CreateKey(const QString& FullPath);
    const TValue* FindValue(const QString& FullPath, const QString& Name) const;
    TValue& ValueForWrite(const QString& FullPath, const QString& Name);
    QString SectionPath(const QString& Section) const;
    void Parse(const QByteArray& Bytes); // raises ERegistryFileDamaged without the file text
    void SetAside(const QString& Reason);

    QString FFileName;
    QString FCurrentPath;
    QList<TKey> FKeys;
    bool FSaveRefused = false;
    QString FSaveRefusedReason;
};
