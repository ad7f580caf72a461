#include "AlertSource.h"

#include <cmath>

const QByteArray TAlertSource::MainCategory = QByteArrayLiteral("BRENIK-main");

TAlertSource::~TAlertSource() = default;

void TAlertSource::SetListenedCategories(const QList<QByteArray>&) {}

TRatePacer::TRatePacer(double AlertsPerSecond, qint64 StartMs)
    : FRate(AlertsPerSecond > 0 && std::isfinite(AlertsPerSecond) ? AlertsPerSecond : 0)
    , FStartMs(StartMs)
{
}

qsizetype TRatePacer::Due(qint64 NowMs, qsizetype MaxCount)
{
    if (FRate <= 0 || NowMs < FStartMs)
        return 0;
    // The small addition keeps rounding from making an alert late by a tick.
    const qint64 target = qint64(std::floor(FRate * double(NowMs - FStartMs) / 1000.0 + 1e-9));
    const qint64 maxLag = qMax<qint64>(1, qint64(std::ceil(FRate * MaxLagMs / 1000.0)));
    if (target - FSent > maxLag)
        FSent = target - maxLag; // too far behind: skip rather than burst
    return qsizetype(qBound<qint64>(0, target - FSent, MaxCount));
}

qint64 TRatePacer::NextDueMs() const
{
    if (FRate <= 0)
        return -1;
    return FStartMs + qint64(std::ceil(double(FSent + 1) * 1000.0 / FRate));
}
