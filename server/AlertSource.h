// Where the server's alerts come from: the synthetic market or a replay file.
// The server asks its one source, from its event loop, for the alerts that
// are due and hands them to the connections; sources never look at a clock of
// their own, so tests drive them with any time they like.
#pragma once

#include "AlertBatch.h"

#include <QByteArray>
#include <QList>
#include <QTime>

// The time a source is asked at: milliseconds since the server started
// (monotonic), and the local wall-clock time for "time" fields.
struct TAlertClock {
    qint64 ElapsedMs = 0;
    QTime WallTime;
};

class TAlertSource {
public:
    // The category every client subscribes to.
    static const QByteArray MainCategory;

    TAlertSource() = default;
    TAlertSource(const TAlertSource&) = delete;
    TAlertSource& operator=(const TAlertSource&) = delete;
    virtual ~TAlertSource();

    // Adds to Batch the alerts due at Now, at most MaxCount; what is left
    // stays due for the next call.
    virtual void TakeDue(const TAlertClock& Now, qsizetype MaxCount, TAlertBatch& Batch) = 0;
    // Elapsed milliseconds at which the next alert falls due (may be in the
    // past when alerts are waiting); -1 when none ever will.
    virtual qint64 NextDueMs() const = 0;
    // True once the source will never produce another alert.
    virtual bool Finished() const { return NextDueMs() < 0; }
    // The categories other than MainCategory that listening connections have
    // added, sorted; sources that do not care ignore them.
    virtual void SetListenedCategories(const QList<QByteArray>& Categories);
};

// Spreads alerts evenly over time at a fixed rate: after t milliseconds,
// floor(rate * t / 1000) alerts are due in total. When the caller falls more
// than MaxLagMs behind, the alerts beyond that are skipped rather than sent
// in one burst later.
class TRatePacer {
public:
    static constexpr qint64 MaxLagMs = 1000;

    explicit TRatePacer(double AlertsPerSecond = 0, qint64 StartMs = 0);

    // How many alerts are due at NowMs, at most MaxCount. The caller sends
    // them and reports with Sent().
    qsizetype Due(qint64 NowMs, qsizetype MaxCount);
    void Sent(qsizetype Count) { FSent += Count; }
    // When the next alert falls due; -1 for a rate of 0.
    qint64 NextDueMs() const;
    double Rate() const { return FRate; }

private:
    double FRate;
    qint64 FStartMs;
    qint64 FSent = 0;
};
