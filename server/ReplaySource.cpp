#include "ReplaySource.h"

#include "Exceptions.h"

#include <QFile>
#include <cmath>

std::optional<QList<TReplaySource::TLine>> TReplaySource::ParseText(const QByteArray& Text, QString& Error)
{
    QList<TLine> lines;
    const QList<QByteArray> rawLines = Text.split('\n');
    for (qsizetype i = 0; i < rawLines.size(); ++i) {
        QByteArray raw = rawLines[i];
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.trimmed().isEmpty() || raw.startsWith('#'))
            continue;
        const QString where = QStringLiteral("line %1: ").arg(i + 1);
        const QList<QByteArray> parts = raw.split('\t');
        if (parts.size() < 2 || parts.size() > 3) {
            Error = where + (parts.size() < 2 ? QStringLiteral("expected [DELAY<TAB>]CATEGORY<TAB>FIELDS")
                                              : QStringLiteral("too many TABs (encode a TAB in a field as %09)"));
            return std::nullopt;
        }
        TLine line;
        if (parts.size() == 3) {
            const QByteArray& delay = parts[0];
            bool digits = !delay.isEmpty() && delay.size() <= 9;
            for (char c : delay)
                digits = digits && c >= '0' && c <= '9';
            if (!digits || delay.toLongLong() > MaxDelayMs) {
                Error = where + QStringLiteral("the delay \"%1\" is not a number of milliseconds from 0 to %2")
                                    .arg(QString::fromUtf8(delay))
                                    .arg(MaxDelayMs);
                return std::nullopt;
            }
            line.DelayMs = delay.toLongLong();
        }
        line.Category = parts[parts.size() - 2];
        line.Fields = parts[parts.size() - 1];
        if (line.Category.isEmpty()) {
            Error = where + QStringLiteral("empty category");
            return std::nullopt;
        }
        lines.append(line);
    }
    if (lines.isEmpty()) {
        Error = QStringLiteral("no alerts in the file");
        return std::nullopt;
    }
    return lines;
}

std::unique_ptr<TReplaySource> TReplaySource::LoadFile(const QString& FileName, double AlertsPerSecond, bool Loop,
                                                       qint64 StartMs, QString& Error)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly)) {
        Error = QStringLiteral("cannot read replay file %1: %2").arg(FileName, file.errorString());
        return nullptr;
    }
    std::optional<QList<TLine>> lines = ParseText(file.readAll(), Error);
    if (!lines) {
        Error = QStringLiteral("replay file %1, %2").arg(FileName, Error);
        return nullptr;
    }
    return std::make_unique<TReplaySource>(std::move(*lines), AlertsPerSecond, Loop, StartMs);
}

TReplaySource::TReplaySource(QList<TLine> Lines, double AlertsPerSecond, bool Loop, qint64 StartMs)
    : FLines(std::move(Lines))
    , FPaceMs(AlertsPerSecond > 0 && std::isfinite(AlertsPerSecond) ? 1000.0 / AlertsPerSecond : 0.0)
    , FLoop(Loop)
{
    Assert(!FLines.isEmpty(), "ReplaySource");
    FNextDueMs = double(StartMs) + DelayOf(FLines.front());
}

double TReplaySource::DelayOf(const TLine& Line) const
{
    return Line.DelayMs >= 0 ? double(Line.DelayMs) : FPaceMs;
}

qint64 TReplaySource::NextDueMs() const
{
    if (FNext >= FLines.size())
        return -1;
    return qint64(std::ceil(FNextDueMs));
}

void TReplaySource::TakeDue(const TAlertClock& Now, qsizetype MaxCount, TAlertBatch& Batch)
{
    qsizetype count = 0;
    int lastCategory = -1;
    const QByteArray* lastCategoryName = nullptr;
    while (count < MaxCount && FNext < FLines.size() && FNextDueMs <= double(Now.ElapsedMs)) {
        const TLine& line = FLines[FNext];
        // Files usually repeat one category: skip the lookup when it repeats.
        if (!lastCategoryName || *lastCategoryName != line.Category) {
            lastCategory = Batch.CategoryIndex(line.Category);
            lastCategoryName = &line.Category;
        }
        Batch.AddEncodedAlert(lastCategory, line.Fields);
        ++count;
        ++FSentCount;
        if (++FNext == FLines.size()) {
            if (!FLoop)
                return;
            FNext = 0;
        }
        FNextDueMs += DelayOf(FLines[FNext]);
    }
}
