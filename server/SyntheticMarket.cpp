#include "SyntheticMarket.h"

#include <QSet>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// Price moves per step and how fast the averages follow.
constexpr double StepVolatility = 0.003;
constexpr double AverageWeight = 0.05;
constexpr double BandWidthInDeviations = 2.0;
constexpr double MinPrice = 0.01;
// Shares of the alert kinds, and how often a listed Bollinger symbol is
// deleted rather than updated.
constexpr double QuickStrikeShare = 0.3;
constexpr double BollingerShare = 0.4;
constexpr double BollingerDeleteShare = 0.3;

// Symbols that exercise the percent-encoding of the alert text.
const char* const SpecialSymbols[] = {"R&D", "A=B", "BRK.B", "50%"};

double RoundToCents(double Value)
{
    return std::max(MinPrice, std::round(Value * 100.0) / 100.0);
}

} // namespace

TSyntheticMarket::TSyntheticMarket(quint64 Seed, double AlertsPerSecond, qint32 PointsWid, qint64 StartMs)
    : FRandom(Seed)
    , FPacer(AlertsPerSecond, StartMs)
    , FPointsWid(PointsWid)
    , FNextPointsMs(StartMs + PointsIntervalMs)
{
    QSet<QByteArray> used;
    FSymbols.reserve(SymbolCount);
    for (const char* special : SpecialSymbols) {
        TSymbol symbol;
        symbol.Name = special;
        used.insert(symbol.Name);
        FSymbols.push_back(symbol);
    }
    while (int(FSymbols.size()) < SymbolCount) {
        const int length = 2 + int(Uniform() * 3); // 2 to 4 letters
        QByteArray name;
        for (int i = 0; i < length; ++i)
            name += char('A' + int(Uniform() * 26) % 26);
        if (used.contains(name))
            continue;
        used.insert(name);
        TSymbol symbol;
        symbol.Name = name;
        FSymbols.push_back(symbol);
    }
    for (std::size_t i = 0; i < FSymbols.size(); ++i) {
        TSymbol& symbol = FSymbols[i];
        // Prices spread evenly on a log scale from 5 to 500.
        symbol.PrevClose = RoundToCents(std::exp(std::log(5.0) + Uniform() * std::log(100.0)));
        symbol.Last = RoundToCents(symbol.PrevClose * std::exp(0.01 * FNormal(FRandom)));
        symbol.Mean = symbol.Last;
        symbol.Variance = std::pow(symbol.Last * 0.005, 2);
        symbol.Nasdaq = i % 2 == 0;
    }
    FOrder.resize(FSymbols.size());
}

QList<QByteArray> TSyntheticMarket::SymbolNames() const
{
    QList<QByteArray> names;
    for (const TSymbol& symbol : FSymbols)
        names.append(symbol.Name);
    return names;
}

void TSyntheticMarket::SetListenedCategories(const QList<QByteArray>& Categories)
{
    FExtraCategories.clear();
    for (const QByteArray& category : Categories)
        if (category != MainCategory && !FExtraCategories.contains(category))
            FExtraCategories.append(category);
}

qint64 TSyntheticMarket::NextDueMs() const
{
    const qint64 next = FPacer.NextDueMs();
    if (next < 0)
        return -1; // a silent market sends no points list either
    return std::min(next, FNextPointsMs);
}

void TSyntheticMarket::Step(TSymbol& Symbol)
{
    Symbol.Last = RoundToCents(Symbol.Last * std::exp(StepVolatility * FNormal(FRandom)));
    const double deviation = Symbol.Last - Symbol.Mean;
    Symbol.Mean += AverageWeight * deviation;
    Symbol.Variance = (1 - AverageWeight) * Symbol.Variance + AverageWeight * deviation * deviation;
}

void TSyntheticMarket::EmitAlert(TAlertBatch& Batch, int Category, const char* TimeText)
{
    TSymbol& symbol = FSymbols[std::size_t(Uniform() * double(FSymbols.size())) % FSymbols.size()];
    Step(symbol);
    // Decided on the value as written, so that a "down" alert never shows 0.00.
    const double divergence = std::round((symbol.Last - symbol.Mean) / symbol.Mean * 10000.0) / 100.0;
    const double kind = Uniform();
    Batch.BeginAlert(Category);
    if (kind >= QuickStrikeShare && kind < QuickStrikeShare + BollingerShare) {
        const double deviation = std::sqrt(symbol.Variance);
        const bool isLong = symbol.Last < symbol.Mean;
        const int wid = 3 + (symbol.Nasdaq ? 0 : 2) + (isLong ? 0 : 1);
        const quint8 bit = quint8(1u << (wid - 3));
        const bool remove = (symbol.BollingerWindows & bit) && Uniform() < BollingerDeleteShare;
        if (remove)
            symbol.BollingerWindows &= quint8(~bit);
        else
            symbol.BollingerWindows |= bit;
        const double band = isLong ? symbol.Mean - BandWidthInDeviations * deviation
                                   : symbol.Mean + BandWidthInDeviations * deviation;
        Batch.AppendField("w_id", qint64(wid));
        Batch.AppendField("symbol", symbol.Name);
        Batch.AppendDecimalField("last", symbol.Last);
        Batch.AppendDecimalField("prev_close", symbol.PrevClose);
        Batch.AppendDecimalField("dist_from_bb", (symbol.Last - band) / symbol.Last * 100.0);
        Batch.AppendField("action", remove ? QByteArrayView("delete") : QByteArrayView("add"));
    } else {
        // Quick strikes and breaks share their fields.
        const bool quickStrike = kind < QuickStrikeShare;
        const qint64 wid = quickStrike ? (divergence < 0 ? 1 : 2) : (divergence < 0 ? 7 : 8);
        Batch.AppendField("w_id", wid);
        Batch.AppendField("symbol", symbol.Name);
        Batch.AppendDecimalField("last", symbol.Last);
        Batch.AppendDecimalField("prev_close", symbol.PrevClose);
        Batch.AppendDecimalField("sma_divergence", divergence);
        Batch.AppendField("time", QByteArrayView(TimeText, 8));
    }
    Batch.EndAlert();
}

void TSyntheticMarket::EmitPointsList(TAlertBatch& Batch, int Category, qint32 Wid, bool Losers)
{
    for (std::size_t i = 0; i < FOrder.size(); ++i)
        FOrder[i] = int(i);
    // Sorted by change, or by its opposite for the losers.
    const double sign = Losers ? -1.0 : 1.0;
    const auto change = [this, sign](int i) {
        return sign * (FSymbols[std::size_t(i)].Last - FSymbols[std::size_t(i)].PrevClose);
    };
    const int count = std::min<int>(PointsListLength, int(FOrder.size()));
    std::partial_sort(FOrder.begin(), FOrder.begin() + count, FOrder.end(), [&](int a, int b) {
        return change(a) > change(b) || (change(a) == change(b) && a < b);
    });
    Batch.BeginAlert(Category);
    Batch.AppendField("w_id", qint64(Wid));
    char key[24];
    for (int n = 0; n < count; ++n) {
        const TSymbol& symbol = FSymbols[std::size_t(FOrder[std::size_t(n)])];
        Batch.AppendField(QByteArrayView(key, std::snprintf(key, sizeof key, "symbol%d", n)), symbol.Name);
        Batch.AppendDecimalField(QByteArrayView(key, std::snprintf(key, sizeof key, "last%d", n)), symbol.Last);
        Batch.AppendDecimalField(QByteArrayView(key, std::snprintf(key, sizeof key, "change%d", n)),
                                 symbol.Last - symbol.PrevClose);
    }
    Batch.EndAlert();
}

void TSyntheticMarket::TakeDue(const TAlertClock& Now, qsizetype MaxCount, TAlertBatch& Batch)
{
    if (FPacer.Rate() <= 0 || MaxCount <= 0)
        return;
    const int mainCategory = Batch.CategoryIndex(MainCategory);
    QList<int> extraCategories;
    for (const QByteArray& category : FExtraCategories)
        extraCategories.append(Batch.CategoryIndex(category));
    const QTime wall = Now.WallTime.isValid() ? Now.WallTime : QTime(0, 0);
    char timeText[9];
    std::snprintf(timeText, sizeof timeText, "%02d:%02d:%02d", wall.hour(), wall.minute(), wall.second());

    qsizetype room = MaxCount;
    if (Now.ElapsedMs >= FNextPointsMs) {
        EmitPointsList(Batch, mainCategory, FPointsWid, false);
        --room;
        if (FLosersWid != 0 && room > 0) {
            EmitPointsList(Batch, mainCategory, FLosersWid, true);
            --room;
        }
        // Keep the once-a-second rhythm, but do not make up for missed ones.
        FNextPointsMs += PointsIntervalMs;
        if (FNextPointsMs <= Now.ElapsedMs)
            FNextPointsMs = Now.ElapsedMs + PointsIntervalMs;
    }
    const qsizetype due = FPacer.Due(Now.ElapsedMs, room);
    for (qsizetype i = 0; i < due; ++i) {
        int category = mainCategory;
        if (!extraCategories.isEmpty() && FAlertCount % 2 == 1)
            category = extraCategories[qsizetype((FAlertCount / 2) % quint64(extraCategories.size()))];
        ++FAlertCount;
        EmitAlert(Batch, category, timeText);
    }
    FPacer.Sent(due);
}
