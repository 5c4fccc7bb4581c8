#pragma once

// Writes one console message (Windows-1251 bytes) to standard output unchanged.
void writeConsole(const char *message);
