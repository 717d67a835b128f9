#pragma once
// Translated texts kept as JSON tables in Qt resources: ":/<bundle>/<language>.json",
// one object of key → text per language, English as the fallback.

#include <QString>

namespace overlook {

// The text of `key` in the user's language (else English); an empty string when
// the table has no such key. A bundle without even an English table is a broken
// build and stops the process.
QString bundleString(const char* bundle, const char* key);

} // namespace overlook
