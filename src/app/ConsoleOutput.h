#pragma once
// The command line's answers to whoever started it. The executable belongs to the GUI subsystem,
// so it has standard handles only when they were redirected (or Wine runs it from a terminal);
// otherwise it borrows the console of the process that started it, and without one it stays
// silent.

#include "strings/XStringW.h"

// Writes the text followed by a line break.
void WriteOutputLine(const XStringW& text);
