// The terminal implementation of the console.
#pragma once

#include <cstdint>
#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    CLI_Display();
    virtual ~CLI_Display() = default;

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    static uint8_t spinner_phase; // shared by all instances, 0..7
};
