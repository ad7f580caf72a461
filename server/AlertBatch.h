// The alerts of one turn of the server's loop, built once and shared by every
// connection that receives them.
//
// An alert is a category line, CR LF and a field line of key=value pairs
// joined by "&"; keys and values are percent-encoded ("&", "=", "%" and every
// byte outside printable ASCII become %XX) and numbers are written with "." as
// decimal separator whatever the locale. All texts of a batch live in one
// buffer that keeps its capacity across Clear(), so building a batch costs no
// allocation per alert once the buffer has grown.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

class TAlertBatch {
public:
    struct TEntry {
        qsizetype Offset = 0; // of the alert text in Data()
        qsizetype Length = 0;
        int Category = 0;     // index into Categories()
    };

    // Forgets the alerts (not the categories), keeping the buffers' capacity.
    void Clear();
    // The index of a category name, adding it when new.
    int CategoryIndex(const QByteArray& Name);
    const QList<QByteArray>& Categories() const { return FCategories; }

    // Building one alert: BeginAlert writes the category line; the Append
    // calls add fields in order; EndAlert closes the alert.
    void BeginAlert(int Category);
    void AppendField(QByteArrayView Key, QByteArrayView Value);
    void AppendField(QByteArrayView Key, qint64 Value);
    // Fixed-point with Decimals digits after "."; a NaN is written as an
    // empty value (the client reads it as a missing number).
    void AppendDecimalField(QByteArrayView Key, double Value, int Decimals = 2);
    void EndAlert();

    // Adds a whole alert whose field line is already encoded.
    void AddEncodedAlert(int Category, QByteArrayView FieldLine);

    qsizetype Count() const { return FEntries.size(); }
    const QList<TEntry>& Entries() const { return FEntries; }
    const QByteArray& Data() const { return FData; }
    QByteArrayView Text(qsizetype Index) const;
    // The alert as an independent byte string (for tests and logs).
    QByteArray TextCopy(qsizetype Index) const { return Text(Index).toByteArray(); }

private:
    void BeginField(QByteArrayView Key);

    QByteArray FData;
    QList<TEntry> FEntries;
    QList<QByteArray> FCategories;
    qsizetype FAlertStart = -1;
    int FAlertCategory = 0;
    int FFieldCount = 0;
};

// Appends Bytes with "&", "=", "%" and bytes outside 0x20..0x7E as %XX
// (upper-case hexadecimal).
void AppendPercentEncoded(QByteArray& Out, QByteArrayView Bytes);
QByteArray PercentEncode(QByteArrayView Bytes);

// Appends Value rounded to Decimals (0 to 6) digits after ".", without
// exponent and without a "-" for values that round to zero; nothing for NaN
// or infinity.
void AppendDecimal(QByteArray& Out, double Value, int Decimals);
