// The first words of the command line, in the order they are tested and listed in the usage text.

#include "app/Commands.h"
#include "app/Version.h"

namespace {

const CommandWord kWords[] = {
    // The service words come first, so that "svc pause" stops the service while "pause <entry>"
    // pauses a watch-list entry.
    {L"svc", WordMatch::kSuffix, RunSvcCommand, L"svc", nullptr, &kServiceWords, nullptr},
    {L"service", WordMatch::kSuffix, RunServiceCommand, nullptr, nullptr, &kServiceWords, nullptr},
    {L"add", WordMatch::kSuffix, RunAddCommand,
     L"add [--dir <folder>] [--hang-timeout SECONDS] <path> [arguments...]",
     L"watch the program (entry named after its file)", nullptr, AddOptionsUsage},
    {L"pause", WordMatch::kSuffix, RunPauseCommand, L"pause <entry>",
     L"leave the program alone until the next logon or svc start", nullptr, nullptr},
    {L"restart", WordMatch::kSuffix, RunRestartCommand, L"restart <entry>",
     L"make a paused entry active (a running program keeps running)", nullptr, nullptr},
    {L"relaunch", WordMatch::kExact, RunRelaunchCommand, L"relaunch <entry>",
     L"close the program; the service starts it again at once", nullptr, RelaunchUsage},
    {L"remove", WordMatch::kSuffix, RunRemoveCommand, L"remove <entry>",
     L"take it off the watch list", nullptr, nullptr},
    {L"list", WordMatch::kSuffix, RunListCommand, L"list [-v | --json]",
     L"the service, the watch list, the interval (-v: arguments, directories)", nullptr, nullptr},
    {L"check", WordMatch::kExact, RunCheckCommand, L"check",
     L"exit 0: all runs, 1: an entry in trouble, 5: the service does not run", nullptr, nullptr},
    {L"version", WordMatch::kExact, RunVersionCommand, L"version",
     L"QuorbelService " QUORBEL_VERSION_TEXT_W, nullptr, nullptr},
    {L"--version", WordMatch::kExact, RunVersionCommand, nullptr, nullptr, nullptr, nullptr},
    {L"help", WordMatch::kExact, RunHelpCommand, L"help [<word>]",
     L"this text, or the usage of one word", nullptr, nullptr},
    {L"/?", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr, nullptr},
    {L"-h", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr, nullptr},
    {L"--help", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const WordTable kCommandWords = {kWords, sizeof(kWords) / sizeof(kWords[0])};
