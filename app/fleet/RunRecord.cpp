#include "RunRecord.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "AtomicFile.h"
#include "Events.h"
#include "Json.h"

namespace {

std::string UtcText(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

Result Refused(const std::string& path, int error) {
    return Result::Failure(error == EACCES || error == EPERM || error == EROFS ? aErrPermission : aErrIO,
                           "cannot keep the run record in " + path + ": " + std::strerror(error));
}

// `path` is a directory (made when missing); with `own`, one of its own and
// never a link, which could send the record anywhere.
Result EnsureDirectory(const std::string& path, bool own) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Refused(path, errno);
    struct stat st {};
    if ((own ? lstat(path.c_str(), &st) : stat(path.c_str(), &st)) != 0) return Refused(path, errno);
    if (!S_ISDIR(st.st_mode)) return Refused(path, ENOTDIR);
    return {};
}

} // namespace

ResultOf<RunRecord> RunRecord::Create(const std::string& root) {
    // The root may be a link the user made (a store on another disk).
    if (Result made = EnsureDirectory(root, false); !made.ok()) return made;
    const std::string fleet = root + "/fleet";
    if (Result made = EnsureDirectory(fleet, true); !made.ok()) return made;
    const std::string stamp = UtcText("%Y%m%d-%H%M%S");
    if (access(fleet.c_str(), W_OK | X_OK) != 0) return Refused(fleet, errno);
    for (int n = 1; n < 100; ++n) {
        const std::string dir = fleet + "/" + stamp + (n > 1 ? "-" + std::to_string(n) : "");
        if (mkdir(dir.c_str(), 0755) == 0) return RunRecord(dir, UtcText("%Y-%m-%dT%H:%M:%SZ"));
        if (errno != EEXIST) return Refused(dir, errno);
    }
    return Refused(fleet + "/" + stamp, EEXIST);
}

Result RunRecord::Write(const std::string& command, const std::vector<ModuleResult>& results,
                        const Summary& summary) const {
    std::string list = "[";
    for (const ModuleResult& result : results) list += (list.size() > 1 ? "," : "") + ResultJson(result);
    list += "]";
    JsonObject record;
    record.Int("schema", 1)
        .Text("command", command)
        .Text("started", started)
        .Text("finished", UtcText("%Y-%m-%dT%H:%M:%SZ"))
        .Int("exit", summary.exit_status)
        .Bool("interrupted", summary.interrupted)
        .Raw("results", list)
        .Raw("summary", SummaryJson(summary));
    const std::string text = record.str() + "\n";
    const std::string path = dir + "/results.json";
    const AtomicWriteResult written = ReplaceFileAtomically(path, text.data(), text.size());
    if (written.error != aErrNone) return Refused(path, written.systemError ? written.systemError : EIO);
    return {};
}
