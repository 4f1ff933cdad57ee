// The abstract console every updater-side part reports through.
#pragma once

class UpdaterDisplayInterface {
public:
    enum Level { Info = 0, Error = 1 };

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // printf-style; Error goes to error_message, any other level to info_message.
    void message(Level level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }

    bool muted = false;

protected:
    ~UpdaterDisplayInterface() = default;
};

// The two levels by the short names every caller uses.
inline constexpr auto kInfo = UpdaterDisplayInterface::Info;
inline constexpr auto kError = UpdaterDisplayInterface::Error;
