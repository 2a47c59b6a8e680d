#include "app/Dispatch.h"

int main(int argc, char** argv)
{
    return QuorbelMain(argc, argv);
}
