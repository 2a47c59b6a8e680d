#pragma once
// The messages between the service and the companion program in a user's session. The service
// serves one message-mode named pipe per session; the companion asks it which processes to look
// at and reports the ones whose windows stopped responding. Every message is a fixed layout of
// 32-bit values; anything else is no message of this channel.

#include <windows.h>

#include <cstring>
#include <vector>

#include "strings/XStringW.h"

namespace channel {

// "\\.\pipe\QuorbelService.Companion.<session id>.<token>": the token is drawn afresh each time
// the service begins to serve a session, so that no one can make the name before the service
// does. The service hands the whole name to the companion it starts, after "--pipe".
constexpr const wchar_t* kPipeNameFormat = L"\\\\.\\pipe\\QuorbelService.Companion.%u.%@";
constexpr const wchar_t* kPipeArgument = L"--pipe";

inline XStringW PipeName(DWORD sessionId, const XStringW& token)
{
    XStringW name;
    name.Format(kPipeNameFormat, sessionId, token);
    return name;
}

// What the session's user may do with the pipe: read, write data and set its read mode
// (FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES), not make instances of it.
// FILE_GENERIC_WRITE would include FILE_APPEND_DATA, which on a pipe is the right to create an
// instance.
constexpr DWORD kClientAccess = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
static_assert(kClientAccess == 0x12018B, "read, write data, write attributes");

constexpr DWORD kMagic = 0x4C425551;  // "QUBL"

enum Kind : DWORD {
    kAskTargets = 1,   // companion: which processes of this session have a hang timeout
    kTargets = 2,      // service: the answer, a list of Target records
    kReportHung = 3,   // companion: a process has no responding window now
    kVerdict = 4,      // service: what it makes of the report
};

// What the companion sends: one request of exactly this size.
struct Request {
    DWORD magic = kMagic;
    DWORD kind = 0;
    DWORD processId = 0;  // kReportHung
    DWORD seconds = 0;    // kReportHung: how long no window of it responded, as the companion
                          // saw it; the service times the hang itself and takes this as a hint
};
static_assert(sizeof(Request) == 16, "a request is four 32-bit values");

struct Target {
    DWORD processId = 0;
    DWORD timeoutSeconds = 0;
};

struct TargetsHeader {
    DWORD magic = kMagic;
    DWORD kind = kTargets;
    DWORD count = 0;
};

struct Verdict {
    DWORD magic = kMagic;
    DWORD kind = kVerdict;
    DWORD processId = 0;
    DWORD accepted = 0;  // a VerdictValue
};

enum VerdictValue : DWORD {
    kRefused = 0,  // not a process the service acts on for this companion
    kEnding = 1,   // the service's own clock reached the timeout: it ends the process
    kTiming = 2,   // the service times the hang: report it again at the next round
};

// The companion reports a hung process once a round; a hang whose reports stop for longer than
// this has ended (a window answered again), and the next report starts a new one.
constexpr DWORD kRoundMs = 2000;
constexpr DWORD kLongestReportGapMs = 5 * kRoundMs;

// A session has far fewer watched programs than this; a list beyond it is no answer.
constexpr DWORD kMaxTargets = 1024;
// The pipe's buffers: the service reads no request larger than Request.
constexpr DWORD kRequestBufferBytes = 64;
constexpr DWORD kReplyBufferBytes = sizeof(TargetsHeader) + kMaxTargets * sizeof(Target);

inline std::vector<BYTE> EncodeTargets(const std::vector<Target>& targets)
{
    TargetsHeader header;
    header.count = static_cast<DWORD>(targets.size());
    std::vector<BYTE> bytes(sizeof(header) + targets.size() * sizeof(Target));
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (!targets.empty()) {
        std::memcpy(bytes.data() + sizeof(header), targets.data(), targets.size() * sizeof(Target));
    }
    return bytes;
}

// False when the bytes are no list of targets: another kind, a count beyond kMaxTargets, or a
// size that does not match the count.
inline bool DecodeTargets(const BYTE* bytes, size_t size, std::vector<Target>& targets)
{
    TargetsHeader header;
    if (size < sizeof(header)) {
        return false;
    }
    std::memcpy(&header, bytes, sizeof(header));
    if (header.magic != kMagic || header.kind != kTargets || header.count > kMaxTargets ||
        size != sizeof(header) + header.count * sizeof(Target)) {
        return false;
    }
    targets.resize(header.count);
    if (header.count > 0) {
        std::memcpy(targets.data(), bytes + sizeof(header), header.count * sizeof(Target));
    }
    return true;
}

}  // namespace channel
