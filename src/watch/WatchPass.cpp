#include "watch/CQuorbelServiceThread.h"

// Placeholder until the pass is written.
int CQuorbelServiceThread::ThreadFunc()
{
    return 0;
}
