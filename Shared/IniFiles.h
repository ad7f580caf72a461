// A small read-only reader of settings files such as ZVR.ini.
//
// Reading rules: lines end at CR, LF or CR LF; each line is trimmed of blanks
// and control characters at both ends; empty lines and lines starting with ";"
// are skipped; "[name]" opens the section named by the trimmed text between
// the brackets; lines before the first section are ignored; any other line
// splits at its first "=" into key and value, both trimmed (a line without "="
// is a key with an empty value; a line whose key is empty names nothing and is
// skipped). Section and key names compare without regard to letter case; where
// a name repeats, the first occurrence wins - for a section, the whole first
// block. Values come back exactly as they stand after trimming.
//
// The bytes are decoded as UTF-8 (a leading byte order mark is dropped); a file
// that is not valid UTF-8 - one written in a Windows single-byte code page -
// is decoded as Latin-1 instead, so no byte is lost or replaced.
//
// A missing file reads as empty. A file that exists but cannot be read (no
// permission, a directory, an I/O error) also reads as empty, so the program
// still starts with its defaults; the reason is logged as a warning and kept
// in ErrorText() for a caller that wants to show it.
//
// A plain value: copy it freely.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

class TIniFile {
public:
    // Reads the whole file at once; the file is not kept open.
    explicit TIniFile(const QString& FileName);
    // The same rules applied to text in memory.
    static TIniFile FromText(const QByteArray& Content);

    // The value of Key in Section, or Default when either is absent. A key
    // present with an empty value gives "".
    QString ReadString(const QString& Section, const QString& Key, const QString& Default) const;
    // The key names of Section in file order (empty for an absent section).
    QStringList ReadSection(const QString& Section) const;
    bool SectionExists(const QString& Section) const;

    // Empty, or why an existing file could not be read.
    QString ErrorText() const { return FErrorText; }

private:
    TIniFile() = default;
    void Parse(const QByteArray& Content);

    struct TSection {
        QStringList Keys;              // as written, file order, first occurrences only
        QList<QString> Values;         // parallel to Keys
        QHash<QString, qsizetype> Index; // case-folded key -> position in Keys
    };
    QList<TSection> FSections;
    QHash<QString, qsizetype> FSectionIndex; // case-folded name -> position in FSections
    QString FErrorText;
};
