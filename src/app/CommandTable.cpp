// The first words of the command line, in the order they are tested and listed in the usage text.

#include "app/Commands.h"
#include "app/Version.h"

namespace {

const CommandWord kWords[] = {
    // The service words come first, so that "svc pause" stops the service while "pause <entry>"
    // pauses a watch-list entry.
    {L"svc", WordMatch::kSuffix, RunServiceCommand, L"svc", nullptr, &kServiceWords},
    {L"service", WordMatch::kSuffix, RunServiceCommand, nullptr, nullptr, nullptr},
    {L"add", WordMatch::kSuffix, RunAddCommand, L"add <path> [arguments...]",
     L"watch the program (entry named after its file)", nullptr},
    {L"pause", WordMatch::kSuffix, RunPauseCommand, L"pause <entry>",
     L"leave the program alone for now", nullptr},
    {L"restart", WordMatch::kSuffix, RunRestartCommand, L"restart <entry>", L"watch it again",
     nullptr},
    {L"remove", WordMatch::kSuffix, RunRemoveCommand, L"remove <entry>",
     L"take it off the watch list", nullptr},
    {L"list", WordMatch::kSuffix, RunListCommand, L"list", L"the watch list and the interval",
     nullptr},
    {L"version", WordMatch::kExact, RunVersionCommand, L"version",
     L"QuorbelService " QUORBEL_VERSION_TEXT_W, nullptr},
    {L"--version", WordMatch::kExact, RunVersionCommand, nullptr, nullptr, nullptr},
    {L"help", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr},
    {L"/?", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr},
    {L"-h", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr},
    {L"--help", WordMatch::kExact, RunHelpCommand, nullptr, nullptr, nullptr},
};

}  // namespace

const WordTable kCommandWords = {kWords, sizeof(kWords) / sizeof(kWords[0])};
