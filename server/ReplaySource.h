// Alerts read from a replay file and sent at the pace the file asks for.
//
// Grammar (one alert per line; lines end with LF or CR LF; empty lines and
// lines that start with "#" are skipped):
//   line     = [ delay TAB ] category TAB fields
//   delay    = decimal milliseconds after the previous alert, 0 to MaxDelayMs
//   category = one or more bytes, no TAB
//   fields   = the field line, sent exactly as written (already encoded)
// A line without a delay follows the previous alert after 1000 / rate
// milliseconds (at once for a rate of 0). The first line's delay counts from
// the start. At the end the replay stops, or starts again from the first line
// when told to loop.
#pragma once

#include "AlertSource.h"

#include <QString>
#include <memory>
#include <optional>

class TReplaySource : public TAlertSource {
public:
    static constexpr qint64 MaxDelayMs = 86'400'000;

    struct TLine {
        qint64 DelayMs = -1; // -1: none given, paced by the rate
        QByteArray Category;
        QByteArray Fields;
        friend bool operator==(const TLine&, const TLine&) = default;
    };

    // Parses a whole file's content. On error the result is empty and Error
    // names the line ("line 4: ..."). A file without any alert is an error.
    static std::optional<QList<TLine>> ParseText(const QByteArray& Text, QString& Error);
    // Reads and parses a file; Error starts with the file name.
    static std::unique_ptr<TReplaySource> LoadFile(const QString& FileName, double AlertsPerSecond, bool Loop,
                                                   qint64 StartMs, QString& Error);

    // Lines must not be empty.
    TReplaySource(QList<TLine> Lines, double AlertsPerSecond, bool Loop, qint64 StartMs = 0);

    void TakeDue(const TAlertClock& Now, qsizetype MaxCount, TAlertBatch& Batch) override;
    qint64 NextDueMs() const override;

    // Alerts sent so far, all rounds counted.
    quint64 SentCount() const { return FSentCount; }

private:
    double DelayOf(const TLine& Line) const;

    QList<TLine> FLines;
    double FPaceMs;      // the gap before a line without a delay
    bool FLoop;
    qsizetype FNext = 0; // the line sent next; FLines.size() once finished
    double FNextDueMs;   // fractional, so that a rate's gaps do not drift
    quint64 FSentCount = 0;
};
