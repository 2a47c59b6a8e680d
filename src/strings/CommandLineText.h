#pragma once
// Command-line text: arguments quoted so that a program's own parser (CommandLineToArgvW and the
// C runtime's, which agree on these rules) gives back the same words, and arguments made safe
// for cmd.exe, which reads the text first.

#include <vector>

#include "strings/XStringW.h"

// One argument as the parser reads it back: unchanged when it holds no blank, tab or double
// quote; otherwise in double quotes, with every quote and every run of backslashes before a quote
// (the closing one included) escaped with backslashes. An empty argument is "".
XStringW QuoteArgument(const XStringW& argument);

// The arguments quoted one by one and joined with single blanks.
XStringW JoinArguments(const std::vector<XStringW>& arguments);

// The text with every character that cmd.exe treats as a command character (& | < > ^ ( ) @)
// escaped with ^ where cmd.exe sees it outside double quotes. cmd.exe toggles its quote state
// at every double quote, backslashes or not, and passes quoted text on unchanged; it removes
// the carets before the program sees the text, so the program gets the text as it was given.
XStringW EscapeForCommandInterpreter(const XStringW& text);

// The longest command line cmd.exe carries out, in characters.
constexpr int kMaxConsoleCommandLineChars = 8191;

// What cmd.exe is given to start a program: /c ""<path>" <arguments>". cmd.exe strips the outer
// pair of quotes and runs what is left; a path in two pairs stays one quoted program path after
// that, whatever it holds (with one pair, a path with any of & < > ( ) @ ^ | would be parsed as
// commands). The arguments follow with cmd.exe's command characters escaped, so that none of
// them can start a command of its own. %NAME% is still expanded in both.
XStringW ConsoleCommandLine(const XStringW& path, const XStringW& arguments);

// True when the text holds a control character (below U+0020, or U+007F to U+009F).
bool HasControlCharacter(const XStringW& text);

// The text with every control character spelled out as <U+XXXX>, so that an answer never carries
// a raw one (a line break, an escape sequence) to the console.
XStringW WithControlCharactersShown(const XStringW& text);
