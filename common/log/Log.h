// Process-wide debug log, filtered by a bit mask of packages chosen with -X.
// The object model, the loaders and the app write to it. Set the mask and the
// output before other threads start; lines may then come from any thread.
#pragma once

#include <cstdint>
#include <cstdio>

class Log {
public:
    // Package bits (the -X values).
    enum Package : uint32_t {
        DEBUG_Updater = 0x00000001,
        DEBUG_History = 0x00000002,
        DEBUG_Attributes = 0x00000004,
        DEBUG_BirdFile = 0x00000008,
        DEBUG_Network_Legacy = 0x00000010, // printed as "DEBUG_Network"
        DEBUG_ServerComm = 0x00000020,
        DEBUG_Network = 0x00000100,
        DEBUG_Network_SR = 0x00000200,
        DEBUG_Network_FIRM = 0x00000400,
        DEBUG_NXPSerial = 0x00001000,
        DEBUG_NXPSerial_E = 0x00002000,
        DEBUG_NXPSerial_SR = 0x00004000,
        DEBUG_APP = 0x00010000,
        // The object model: link exchanges and connection, module connection.
        // Not offered in the usage text; for library users and tests.
        DEBUG_ObjectLink = 0x00020000,
        DEBUG_ObjectModule = 0x00040000,
        DEBUG_iMXSerial = 0x10000000,
    };

    static uint32_t package_bitmask;
    static FILE* fh;
    static bool timestamped;

    // Writes the line when package is 0 or shares a bit with the mask.
    static void log(unsigned package, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* out);
    // Sends the log to the file at `path`, opened with `mode` (for example
    // "a+") and unbuffered like standard error. On failure returns false with
    // errno set and leaves the output as it was. Main thread, before any
    // other thread logs.
    static bool OpenFile(const char* path, const char* mode);
    // Closes a file opened by OpenFile and sends the log to standard error.
    static void CloseFile();
    static void ActivatePackage(unsigned mask);
    static void DeactivatePackage(unsigned mask);

    // For its lifetime, the lines logged by the thread that made it go to
    // `out` instead (owned by the caller, must outlive the scope), under the
    // process mask plus `extra`: one log per worker when workers update
    // different modules. Scopes do not nest; make and destroy it on the
    // thread it is for.
    class ThreadScope {
    public:
        ThreadScope(FILE* out, uint32_t extra);
        ~ThreadScope();
        ThreadScope(const ThreadScope&) = delete;
        ThreadScope& operator=(const ThreadScope&) = delete;
    };
};
