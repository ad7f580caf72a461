// A 64-character text encoding of bytes for the upstream half of the HTTP
// tunnel: Base64's bit layout (three bytes to four characters, most
// significant bit first) with an alphabet whose every character is unreserved
// in form-encoded bodies, and no padding. There is no decoder on this side.
#pragma once

#include <QByteArray>

// The 64 characters in index order: a-z, A-Z, 0-9, "_", "-". Built once, on
// first use; an assertion of unit P64 checks that exactly 64 were placed.
const QByteArray& P64Alphabet();

// Encodes Data. The result has 4 * (n / 3) characters, plus n % 3 + 1 when
// n % 3 is not 0; empty input gives empty output.
QByteArray P64Encode(const QByteArray& Data);
