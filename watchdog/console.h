#pragma once

#include <QByteArray>

// Writes one console message (Windows-1251 bytes) to standard output: as
// text a console shows on Windows, unchanged elsewhere.
void writeConsole(const char *message);

// Writes what a program run by the watchdog wrote, unchanged, to stdout and
// stderr.
void passOn(const QByteArray &output, const QByteArray &errors);

// Before anything is said: no console stream may hold up supervision.
void prepareConsole();
