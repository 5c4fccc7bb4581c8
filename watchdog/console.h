#pragma once

// Writes one console message (Windows-1251 bytes) to standard output: as
// text a console shows on Windows, unchanged elsewhere.
void writeConsole(const char *message);

// Before anything is said: no console stream may hold up supervision.
void prepareConsole();
