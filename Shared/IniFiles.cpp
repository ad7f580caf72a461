#include "IniFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QtDebug>

namespace {

bool IsBlankOrControl(QChar C)
{
    return C == u' ' || C.category() == QChar::Other_Control;
}

QString Trimmed(QStringView Text)
{
    qsizetype Begin = 0;
    qsizetype End = Text.size();
    while (Begin < End && IsBlankOrControl(Text[Begin]))
        ++Begin;
    while (End > Begin && IsBlankOrControl(Text[End - 1]))
        --End;
    return Text.sliced(Begin, End - Begin).toString();
}

QString Decoded(QByteArray Content)
{
    static const QByteArray Bom("\xEF\xBB\xBF");
    if (Content.startsWith(Bom))
        Content.remove(0, Bom.size());
    QStringDecoder Utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString Text = Utf8.decode(Content);
    if (!Utf8.hasError())
        return Text;
    return QString::fromLatin1(Content);
}

// Splits at CR, LF and CR LF; the pieces are not trimmed yet.
QList<QStringView> Lines(QStringView Text)
{
    QList<QStringView> Result;
    qsizetype Start = 0;
    const qsizetype N = Text.size();
    for (qsizetype I = 0; I < N; ++I) {
        const QChar C = Text[I];
        if (C != u'\r' && C != u'\n')
            continue;
        Result.append(Text.sliced(Start, I - Start));
        if (C == u'\r' && I + 1 < N && Text[I + 1] == u'\n')
            ++I;
        Start = I + 1;
    }
    if (Start < N)
        Result.append(Text.sliced(Start));
    return Result;
}

QString Folded(const QString& Name)
{
    return Name.toCaseFolded();
}

} // namespace

TIniFile::TIniFile(const QString& FileName)
{
    QFile File(FileName);
    if (!QFileInfo::exists(FileName))
        return;
    if (QFileInfo(FileName).isDir() || !File.open(QIODevice::ReadOnly)) {
        FErrorText = QStringLiteral("Cannot read the settings file %1: %2")
                         .arg(FileName, QFileInfo(FileName).isDir() ? QStringLiteral("it is a folder")
                                                                    : File.errorString());
        qWarning().noquote() << FErrorText;
        return;
    }
    const QByteArray Content = File.readAll();
    if (File.error() != QFileDevice::NoError) {
        FErrorText = QStringLiteral("Cannot read the settings file %1: %2").arg(FileName, File.errorString());
        qWarning().noquote() << FErrorText;
        return;
    }
    Parse(Content);
}

TIniFile TIniFile::FromText(const QByteArray& Content)
{
    TIniFile Result;
    Result.Parse(Content);
    return Result;
}

void TIniFile::Parse(const QByteArray& Content)
{
    const QString Text = Decoded(Content);
    // -1 while outside any section, and while inside a repeat of a section
    // seen before (the first block wins, so the repeat is ignored).
    qsizetype Current = -1;
    for (QStringView RawLine : Lines(Text)) {
        const QString Line = Trimmed(RawLine);
        if (Line.isEmpty() || Line.startsWith(u';'))
            continue;
        if (Line.startsWith(u'[') && Line.endsWith(u']') && Line.size() >= 2) {
            const QString Name = Trimmed(QStringView(Line).sliced(1, Line.size() - 2));
            const QString Key = Folded(Name);
            if (FSectionIndex.contains(Key)) {
                Current = -1;
            } else {
                Current = FSections.size();
                FSectionIndex.insert(Key, Current);
                FSections.append(TSection());
            }
            continue;
        }
        if (Current < 0)
            continue;
        const qsizetype Equals = Line.indexOf(u'=');
        const QString Name = Equals < 0 ? Line : Trimmed(QStringView(Line).first(Equals));
        const QString Value = Equals < 0 ? QString() : Trimmed(QStringView(Line).sliced(Equals + 1));
        if (Name.isEmpty())
            continue;
        const QString Key = Folded(Name);
        TSection& Into = FSections[Current];
        if (Into.Index.contains(Key))
            continue;
        Into.Index.insert(Key, Into.Keys.size());
        Into.Keys.append(Name);
        Into.Values.append(Value);
    }
}

QString TIniFile::ReadString(const QString& Section, const QString& Key, const QString& Default) const
{
    const auto S = FSectionIndex.constFind(Folded(Section));
    if (S == FSectionIndex.constEnd())
        return Default;
    const TSection& Found = FSections.at(*S);
    const auto K = Found.Index.constFind(Folded(Key));
    return K == Found.Index.constEnd() ? Default : Found.Values.at(*K);
}

QStringList TIniFile::ReadSection(const QString& Section) const
{
    const auto S = FSectionIndex.constFind(Folded(Section));
    return S == FSectionIndex.constEnd() ? QStringList() : FSections.at(*S).Keys;
}

bool TIniFile::SectionExists(const QString& Section) const
{
    return FSectionIndex.contains(Folded(Section));
}
