// The display of one module's update in a fleet run: every message goes to
// the module's own log with the time; the last error is kept for its result.
// Used by one worker thread.
#pragma once

#include <cstdio>
#include <string>

#include "UpdaterDisplayInterface.h"

class ModuleDisplay : public UpdaterDisplayInterface {
public:
    explicit ModuleDisplay(FILE* log) : log(log) {}

    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char* text) override { Write("", text); }
    void error_message(const char* text) override {
        last_error = text;
        Write("error: ", text);
    }

    // The last error shown, "" when none.
    const std::string& LastError() const { return last_error; }
    void ForgetError() { last_error.clear(); }

private:
    void Write(const char* lead, const char* text);
    FILE* log; // may be null
    std::string last_error;
};
