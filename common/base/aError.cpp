#include "aError.h"

static const char* const sErrorText[aERR_COUNT] = {
    "aErrNone",
    "aErrMemory",
    "aErrParam",
    "aErrNotFound",
    "aErrFileNameLength",
    "aErrBusy",
    "aErrIO",
    "aErrMode",
    "aErrWrite",
    "aErrRead",
    "aErrEOF",
    "aErrNotReady",
    "aErrPermission",
    "aErrRange",
    "aErrSize",
    "aErrOverrun",
    "aErrParse",
    "aErrConfiguration",
    "aErrTimeout",
    "aErrInitialization",
    "aErrVersion",
    "aErrUnimplemented",
    "aErrDuplicate",
    "aErrCancel",
    "aErrPacket",
    "aErrConnection",
    "aErrIndexRange",
    "aErrShortCommand",
    "aErrInvalidEntity",
    "aErrInvalidOption",
    "aErrResource",
    "aErrMedia",
    "aErrAsyncReturn",
    "aErrStreamStale",
    "aErrUnknown",
};

static const char* const sErrorDescription[aERR_COUNT] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Tarnix command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

/* Out-of-range codes (modules may report anything) fall back to the last entry. */
static uint32_t sIndex(aErr err)
{
    uint32_t index = static_cast<uint32_t>(err);
    return index < aERR_COUNT ? index : aERR_COUNT - 1;
}

const char* aError_GetErrorText(aErr err)
{
    return sErrorText[sIndex(err)];
}

const char* aError_GetErrorDescription(aErr err)
{
    return sErrorDescription[sIndex(err)];
}
