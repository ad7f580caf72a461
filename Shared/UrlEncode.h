// Percent-decoding of the fields of an alert line.
#pragma once

#include <QByteArray>

// The value 0 to 15 of a hexadecimal digit: "0"-"9" give 0-9; any other byte
// is taken as a letter, its ASCII upper-case form minus "A" plus 10 (so "a"
// and "A" give 10, and a non-digit such as "g" gives 16). Callers check the
// digit first; UrlDecode does.
int HexDigitValue(char C);

// A "%" followed by two hexadecimal digits (0-9, A-F, a-f) becomes the byte
// 16 * first + second; every other byte - "+" included, and a "%" without two
// digits behind it inside the text - is copied unchanged. Any byte value may
// come out, zero included.
QByteArray UrlDecode(const QByteArray& Text);
