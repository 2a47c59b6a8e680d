#include "app/Dispatch.h"

// Placeholder until the command forms exist.
void DispatchCommand(int, char**) {}
