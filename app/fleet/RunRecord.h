// The record one fleet update leaves under the store: a directory of its own
// (<root>/fleet/<YYYYmmdd-HHMMSS>[-N]) with results.json and one log per
// module, so that a failed job keeps everything needed to see why.
#pragma once

#include <string>
#include <vector>

#include "FleetModel.h"
#include "Result.h"

class RunRecord {
public:
    // Makes the run's directory. Fails (aErrIO or aErrPermission, saying
    // which path) when the store root cannot take it; a symbolic link or a
    // file in place of <root>/fleet is refused, never followed.
    static ResultOf<RunRecord> Create(const std::string& root);

    const std::string& directory() const { return dir; }

    // Replaces results.json as a whole (written aside, then renamed).
    Result Write(const std::string& command, const std::vector<ModuleResult>& results, const Summary& summary) const;

private:
    explicit RunRecord(std::string directory, std::string started) : dir(std::move(directory)), started(std::move(started)) {}
    std::string dir;
    std::string started; // ISO 8601, UTC
};
