#include "CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char kBar[] = "=====================================================================";
static_assert(sizeof(kBar) - 1 == 69, "the bar is 69 characters wide");

const char* const kSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

bool OnTerminal() { return isatty(STDOUT_FILENO) == 1; }

void EraseLine() { std::printf("\r%*s\r", 88, " "); }

} // namespace

uint8_t CLI_Display::spinner_phase = 0;

CLI_Display::CLI_Display() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::display_progress(bool show) {
    if (!OnTerminal() || show) return;
    EraseLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!OnTerminal()) return;
    // NaN (say 0 of 0 bytes) would turn into a nonsense fill and padding width.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = 69;
    if (label) {
        int label_length = static_cast<int>(std::strlen(label));
        if (label_length > 65) label_length = 65;
        width = 69 - label_length - 4;
    }
    const int percent = static_cast<int>(fraction * 100.0);
    const int filled = static_cast<int>(width * fraction);
    // At 100% this is -1, which printf reads as a left-justified width of 1:
    // the full bar is followed by '>' and one space.
    const int pad = width - filled - 1;
    if (label)
        std::printf("\r (%.65s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, pad, "", percent);
    else
        std::printf("\r[%.*s>%*s] (%3d%% ) ", filled, kBar, pad, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
    if (!OnTerminal()) return;
    if (!on) {
        EraseLine();
        return;
    }
    const char* frame = kSpinnerFrames[spinner_phase];
    if (label)
        std::printf("\r (%s) %s      \r", label, frame);
    else
        std::printf("\r %s      \r", frame);
    spinner_phase = static_cast<uint8_t>((spinner_phase + 1) % 8);
}

void CLI_Display::info_message(const char* text) { std::printf("%s\n", text); }

void CLI_Display::error_message(const char* text) { std::fprintf(stderr, "%s\n", text); }
