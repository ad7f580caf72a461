// The per-alert cost on the client's alert windows: every window parses every
// alert's field line into a fresh zero-bucket hash table, reads "w_id", and the
// one window it is meant for reads the rest of the fields.
//
// The field lines are the server's: a quick strike (6 fields), a Bollinger
// alert (6 fields) and a points top list (31 fields).
#include "StringStringHashtables.h"
#include "UrlEncode.h"

#ifdef BRENIK_HAVE_PARSE_ALERT_FIELDS
#include "AlertWindowUnit.h"
#endif

#include <QList>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>

namespace {

struct TFieldLineCase {
    const char* Name;
    QByteArray Line;
};

QByteArray PointsListLine()
{
    static const char* const symbols[] = {"AAPL", "R%26D", "MSFT", "NVDA", "BRK.B",
                                          "TSLA", "AMD", "A%3DB", "META", "INTC"};
    QByteArray line = "w_id=20";
    for (int n = 0; n < 10; ++n) {
        const QByteArray index = QByteArray::number(n);
        line += "&symbol" + index + "=" + symbols[n];
        line += "&last" + index + "=" + QByteArray::number(101.25 + 13.5 * n, 'f', 2);
        line += "&change" + index + "=" + QByteArray::number(9.75 - 0.8 * n, 'f', 2);
    }
    return line;
}

const QList<TFieldLineCase>& FieldLines()
{
    static const QList<TFieldLineCase> cases = {
        {"quick_strike", "w_id=1&symbol=R%26D&last=172.35&prev_close=170.12&sma_divergence=-0.42&time=10:31:07"},
        {"bollinger", "w_id=3&symbol=MSFT&last=402.18&prev_close=398.50&dist_from_bb=-0.37&action=add"},
        {"points_list", PointsListLine()},
    };
    return cases;
}

struct TField {
    QByteArray Key;
    QByteArray Value;
};

// The decoded pairs of a field line, split outside the timed loop.
QList<TField> SplitFields(const QByteArray& Line)
{
    QList<TField> fields;
    for (const QByteArray& pair : Line.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        if (equals < 0)
            continue;
        fields.append({UrlDecode(pair.left(equals)), UrlDecode(pair.mid(equals + 1))});
    }
    return fields;
}

void SetCaseLabel(benchmark::State& State, const TFieldLineCase& Case, qsizetype Fields)
{
    State.SetLabel(QByteArray(Case.Name).append(" (").append(QByteArray::number(Fields)).append(" fields)").toStdString());
}

// The window the alert is meant for: every field stored, every field read back.
void BM_PutGetAlertFields(benchmark::State& State)
{
    const TFieldLineCase& lineCase = FieldLines()[State.range(0)];
    const QList<TField> fields = SplitFields(lineCase.Line);
    for (auto _ : State) {
        tHashTable table(0);
        for (const TField& field : fields)
            table.Put(field.Key, field.Value);
        for (const TField& field : fields) {
            QByteArray value = table.Get(field.Key);
            benchmark::DoNotOptimize(value.data());
        }
    }
    State.SetItemsProcessed(State.iterations());
    State.counters["fields_per_second"] =
        benchmark::Counter(double(State.iterations() * fields.size()), benchmark::Counter::kIsRate);
    SetCaseLabel(State, lineCase, fields.size());
}
BENCHMARK(BM_PutGetAlertFields)->DenseRange(0, 2);

// Every other window: every field stored, only "w_id" read.
void BM_PutAlertFieldsGetWid(benchmark::State& State)
{
    const TFieldLineCase& lineCase = FieldLines()[State.range(0)];
    const QList<TField> fields = SplitFields(lineCase.Line);
    const QByteArray wid = "w_id";
    for (auto _ : State) {
        tHashTable table(0);
        for (const TField& field : fields)
            table.Put(field.Key, field.Value);
        QByteArray value = table.Get(wid);
        benchmark::DoNotOptimize(value.data());
    }
    State.SetItemsProcessed(State.iterations());
    SetCaseLabel(State, lineCase, fields.size());
}
BENCHMARK(BM_PutAlertFieldsGetWid)->DenseRange(0, 2);

// Percent-decoding a whole field line in one call.
void BM_UrlDecodeFieldLine(benchmark::State& State)
{
    const TFieldLineCase& lineCase = FieldLines()[State.range(0)];
    for (auto _ : State) {
        QByteArray decoded = UrlDecode(lineCase.Line);
        benchmark::DoNotOptimize(decoded.data());
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(State.iterations() * lineCase.Line.size());
    State.SetLabel(lineCase.Name);
}
BENCHMARK(BM_UrlDecodeFieldLine)->DenseRange(0, 2);

// A line with nothing to decode: the copy-through cost.
void BM_UrlDecodePlainLine(benchmark::State& State)
{
    const QByteArray line = "w_id=1&symbol=MSFT&last=172.35&prev_close=170.12&sma_divergence=-0.42&time=10:31:07";
    for (auto _ : State) {
        QByteArray decoded = UrlDecode(line);
        benchmark::DoNotOptimize(decoded.data());
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(State.iterations() * line.size());
}
BENCHMARK(BM_UrlDecodePlainLine);

#ifdef BRENIK_HAVE_PARSE_ALERT_FIELDS
[[noreturn]] void Fatal(const char* Text)
{
    std::fprintf(stderr, "HashTableBench: %s\n", Text);
    std::exit(2);
}

// What each alert window does before it knows whether the alert is its own:
// the field line split, decoded and stored in a fresh table, "w_id" read.
void BM_ParseAlertFields(benchmark::State& State)
{
    const TFieldLineCase& lineCase = FieldLines()[State.range(0)];
    const QByteArray wid = "w_id";
    {
        tHashTable check(0);
        ParseAlertFields(lineCase.Line, check);
        if (check.Count() != SplitFields(lineCase.Line).size())
            Fatal("ParseAlertFields stored a different number of fields than the line holds");
    }
    for (auto _ : State) {
        tHashTable table(0);
        ParseAlertFields(lineCase.Line, table);
        QByteArray value = table.Get(wid);
        benchmark::DoNotOptimize(value.data());
    }
    State.SetItemsProcessed(State.iterations());
    State.SetBytesProcessed(State.iterations() * lineCase.Line.size());
    SetCaseLabel(State, lineCase, SplitFields(lineCase.Line).size());
}
BENCHMARK(BM_ParseAlertFields)->DenseRange(0, 2);
#endif

} // namespace

BENCHMARK_MAIN();
