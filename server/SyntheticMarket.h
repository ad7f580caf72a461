// A made-up market that produces plausible alerts for every kind of alert
// window: a seeded random walk of a few hundred symbols. The same seed, rate
// and clock readings always give the same alerts.
//
// Kinds produced (every alert starts with "w_id"):
//   1 / 2   quick strike down / up: symbol, last, prev_close, sma_divergence,
//           time (HH:MM:SS)
//   3 .. 6  Bollinger long / short for NASDAQ (3, 4) and NYSE (5, 6): symbol,
//           last, prev_close, dist_from_bb, action ("add" or "delete")
//   7 / 8   break low / high: the quick strike fields
//   PointsWid  about once a second, a points top list of the biggest gainers:
//           symbol0.., last0.., change0..
//   LosersWid  (when set) the same, of the biggest losers, right behind it
// The points list comes on top of the rate; a rate of 0 silences the market.
#pragma once

#include "AlertSource.h"

#include <random>
#include <vector>

class TSyntheticMarket : public TAlertSource {
public:
    static constexpr int SymbolCount = 300;
    static constexpr int PointsListLength = 10;
    static constexpr qint64 PointsIntervalMs = 1000;

    TSyntheticMarket(quint64 Seed, double AlertsPerSecond, qint32 PointsWid, qint64 StartMs = 0);

    void TakeDue(const TAlertClock& Now, qsizetype MaxCount, TAlertBatch& Batch) override;
    qint64 NextDueMs() const override;
    // Half of the alerts go to MainCategory, the other half in turn to these.
    void SetListenedCategories(const QList<QByteArray>& Categories) override;

    QList<QByteArray> SymbolNames() const;

    // Also send a points top list of the biggest losers to this window with
    // every list of gainers; 0 (the default) sends none.
    void SetLosersWid(qint32 Wid) { FLosersWid = Wid; }

private:
    struct TSymbol {
        QByteArray Name;
        double Last = 0;
        double PrevClose = 0;
        double Mean = 0;     // moving average of Last
        double Variance = 0; // moving variance of Last around Mean
        bool Nasdaq = false;
        quint8 BollingerWindows = 0; // bit w_id - 3: the symbol is listed there
    };

    void Step(TSymbol& Symbol);
    void EmitAlert(TAlertBatch& Batch, int Category, const char* TimeText);
    void EmitPointsList(TAlertBatch& Batch, int Category, qint32 Wid, bool Losers);
    double Uniform() { return FUniform(FRandom); }

    std::mt19937_64 FRandom;
    std::uniform_real_distribution<double> FUniform{0.0, 1.0};
    std::normal_distribution<double> FNormal{0.0, 1.0};
    std::vector<TSymbol> FSymbols;
    std::vector<int> FOrder; // scratch for the points list
    TRatePacer FPacer;
    qint32 FPointsWid;
    qint32 FLosersWid = 0;
    qint64 FNextPointsMs;
    QList<QByteArray> FExtraCategories;
    quint64 FAlertCount = 0;
};
