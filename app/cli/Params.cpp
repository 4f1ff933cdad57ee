// Reading the command line into the Parameters record.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "CLI_Display.h"
#include "Log.h"
#include "OptionParser.h"
#include "UpdaterMain.h"
#include "UpdateServerRequest.h"
#include "aDirectory.h"

// The server-request code holds the one definition of the default server.
const char* UpdaterServerHost() { return UpdateServerRequest::DefaultHost(); }
const char* UpdaterServerHttpUrl() { return UpdateServerRequest::DefaultURL(); }
const char* UpdaterServerHttpsUrl() { return UpdateServerRequest::DefaultSecureURL(); }

namespace {

enum OptionKind { kHelp = 0, kCommand = 1, kParameter = 2, kHttps = 3, kHttp = 4 };

using Arg = OptionParser::Argument;

// Order matters only for exact matches: the first one wins.
const OptionParser::Option kOptions[] = {
    {kCommand, "-B", Arg::None},        {kCommand, "-L", Arg::None},
    {kCommand, "-D", Arg::None},        {kCommand, "-G", Arg::None},
    {kCommand, "-I", Arg::None},        {kCommand, "-U", Arg::None},
    {kCommand, "-OVERRIDE", Arg::None}, {kCommand, "-N", Arg::None},
    {kCommand, "-Y", Arg::None},        {kCommand, "-C", Arg::None},
    {kCommand, "-J", Arg::None},        {kHelp, "-h", Arg::None},
    {kHelp, "-H", Arg::None},           {kParameter, "-n", Arg::None},
    {kParameter, "-X", Arg::Required},  {kParameter, "-Z", Arg::Required},
    {kParameter, "-m", Arg::Required},  {kParameter, "-i", Arg::Required},
    {kParameter, "-b", Arg::Required},  {kParameter, "-d", Arg::Required},
    {kParameter, "-t", Arg::Required},  {kParameter, "-f", Arg::Required},
    {kParameter, "-r", Arg::Required},  {kParameter, "-s", Arg::Required},
    {kParameter, "-o", Arg::Required},  {kParameter, "-e", Arg::None},
    {kParameter, "-l", Arg::Required},  {kParameter, "-k", Arg::Required},
    {kParameter, "-u", Arg::Required},  {kHelp, "--help", Arg::None},
    {kHttp, "--http", Arg::None},       {kHttps, "--https", Arg::None},
};

// The options that decide which -k the full parse reads: -k itself, the help
// options that end parsing, and every "--" option, so that abbreviations
// match or clash exactly as they do in the full table. No other option begins
// with "-k", and no argument begins with '-', so nothing else can change it.
const OptionParser::Option kLogFileOptions[] = {
    {kHelp, "-h", Arg::None},           {kHelp, "-H", Arg::None},
    {kParameter, "-k", Arg::Required},  {kHelp, "--help", Arg::None},
    {kHttp, "--http", Arg::None},       {kHttps, "--https", Arg::None},
};

// Converts text when every character is one of `digits`.
unsigned ConvertDigits(const char* text, char** end, const char* digits, int base) {
    if (!end || !text) return 0;
    if (std::strspn(text, digits) != std::strlen(text)) return 0;
    return static_cast<unsigned>(std::strtoul(text, end, base));
}

bool HasHexPrefix(const char* text) { return text[0] == '0' && (text[1] == 'x' || text[1] == 'X'); }

// More than eight significant hexadecimal digits cannot be a serial number;
// cut to 32 bits they would name some other device.
bool FitsSerialNumber(const char* text) {
    while (*text == '0') ++text;
    return std::strlen(text) <= 8;
}

// Shared by -d and -r: a hexadecimal serial number, optionally with "0x".
bool ParseSerial(CLI_Display& display, const char* argument, const char* prefix_note,
                 const char* invalid_format, uint32_t& out) {
    if (HasHexPrefix(argument)) {
        Log::log(Log::DEBUG_Updater, "%s", prefix_note);
        argument += 2;
    }
    char* end = nullptr;
    out = _get_hex_arg(argument, &end);
    if (out != 0 && !FitsSerialNumber(argument)) out = 0;
    if (out != 0) return true;
    display.message(UpdaterDisplayInterface::Error, invalid_format, argument);
    return false;
}

void ReadDebugMask(CLI_Display& display, const char* option_text, const std::string& argument,
                   Parameters* params) {
    params->debug_mask_given = true;
    const char* text = argument.c_str();
    char* end = nullptr;
    errno = 0;
    params->debug_mask = static_cast<uint32_t>(std::strtoul(text, &end, HasHexPrefix(text) ? 16 : 10));
    if (end && *end) {
        display.message(UpdaterDisplayInterface::Error,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        option_text, end);
        return;
    }
    Log::ActivatePackage(params->debug_mask);
}

// Returns false when the command line is to be refused.
bool HandleCommand(CLI_Display& display, const char* text, Parameters* params) {
    switch (text[1]) {
    case 'B': params->commands.Set(COMMAND_LIST_BUILDS); return true;
    case 'L': params->commands.Set(COMMAND_LIST_LOCAL_BUILDS); return true;
    case 'D': params->commands.Set(COMMAND_DISCOVER); return true;
    case 'G': params->commands.Set(COMMAND_GET_BUILD); return true;
    case 'I': params->commands.Set(COMMAND_SHOW_INFO); return true;
    case 'U': params->commands.Set(COMMAND_UPDATE); return true;
    case 'N': params->commands.Set(COMMAND_FINGERPRINT); return true;
    case 'C': params->commands.Set(COMMAND_CHECK_BIRD); return true;
    case 'J': params->commands.Set(COMMAND_GET_JWT); return true;
    case 'O':
        if (std::strncmp(text, "-OVERRIDE", 8) == 0) {
            params->override = true;
            return true;
        }
        display.message(UpdaterDisplayInterface::Error,
                        "Invalid format for firmware update override parameter [%s]", text);
        return false;
    default:
        display.message(UpdaterDisplayInterface::Error, "Unhandled command: [%s]", text);
        return false;
    }
}

bool HandleParameter(CLI_Display& display, const char* text, const std::string& argument,
                     Parameters* params, int& url_choices) {
    const char* arg = argument.c_str();
    char* end = nullptr;
    switch (text[1]) {
    case 'X': ReadDebugMask(display, text, argument, params); return true;
    case 'Z': params->commands.Set(COMMAND_Z); return true;
    case 'm':
        params->uei_bytes_load = arg[0] == '1' || std::strncmp(arg, "true", 4) == 0;
        return true;
    case 'i': params->store_directory = argument; return true;
    case 'f': params->bird_file = argument; return true;
    case 'k': params->log_file = argument; return true;
    case 'l': params->log_message = argument; return true;
    case 's': params->serial_port = argument; return true;
    case 'e': params->echo = true; return true;
    case 'n': params->option_n = true; return true;
    case 'b': params->build = std::to_string(_get_int_arg(arg, &end)); return true;
    case 'd':
        return ParseSerial(display, arg, "Discarding '0x' serial number prefix\n",
                           "Invalid serial number obtained from argument [%s]",
                           params->serial_number);
    case 'r':
        return ParseSerial(display, arg, "Discarding '0x' router serial number prefix\n",
                           "Invalid router serial number obtained from argument [%s]",
                           params->router_serial_number);
    case 'o':
        params->baud_rate = _get_int_arg(arg, &end);
        params->baud_rate_text = argument;
        return true;
    case 't':
        params->transport_given = true;
        if (std::strncmp(arg, "USB", 3) == 0) {
            params->transport = 1;
        } else if (std::strncmp(arg, "TCP", 3) == 0) {
            params->transport = 2;
        } else if (std::strncmp(arg, "RECOVER", 7) == 0) {
            params->transport = kTransportRecover;
        } else {
            display.message(UpdaterDisplayInterface::Error,
                            "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, RECOVER",
                            arg);
            params->transport = 0;
            return false;
        }
        return true;
    case 'u':
        params->server_url = argument;
        ++url_choices;
        return true;
    default:
        return true;
    }
}

} // namespace

unsigned _get_hex_arg(const char* text, char** end) {
    return ConvertDigits(text, end, "0123456789ABCDEFabcdef", 16);
}

unsigned _get_int_arg(const char* text, char** end) {
    return ConvertDigits(text, end, "0123456789", 10);
}

bool _find_log_file(int argc, char** argv, std::string& path) {
    bool found = false;
    OptionParser parser(argc, argv, kLogFileOptions, sizeof kLogFileOptions / sizeof kLogFileOptions[0]);
    OptionParser::Result option;
    while (parser.Next(option)) {
        if (option.error) continue;
        if (option.option->kind == kHelp) break;
        if (option.option->kind == kParameter) {
            path = option.argument;
            found = true;
        }
    }
    return found;
}

int _release_params(Parameters* params) {
    if (params) *params = Parameters{};
    return 0;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
    *params = Parameters{};
    params->server_url = UpdaterServerHttpUrl();
    if (argc > 0 && argv && argv[0]) {
        std::string app = argv[0];
        const auto slash = app.find_last_of("/\\");
        params->app_name = slash == std::string::npos ? app : app.substr(slash + 1);
    }
    char home[2048] = "";
    // Without a home directory the name stays empty and paths built on it are relative, as before.
    if (aDirectory_GetHomeDirectory(home, sizeof home) != aErrNone) home[0] = '\0';
    params->home_directory = home;
    Log::log(Log::DEBUG_APP, "Home directory:[%s]\n", params->home_directory.c_str());

    bool failed = false;
    int url_choices = 0;
    OptionParser parser(argc, argv, kOptions, sizeof kOptions / sizeof kOptions[0]);
    OptionParser::Result option;
    while (parser.Next(option)) {
        if (option.error) continue; // unknown or malformed options are skipped silently
        const char* text = option.option->text;
        switch (option.option->kind) {
        case kHelp:
            params->commands.Set(COMMAND_HELP);
            params->help = true;
            return 0;
        case kHttps:
            params->server_url = UpdaterServerHttpsUrl();
            ++url_choices;
            break;
        case kHttp:
            params->server_url = UpdaterServerHttpUrl();
            ++url_choices;
            break;
        case kCommand:
            if (!HandleCommand(display, text, params)) failed = true;
            break;
        case kParameter:
            if (!HandleParameter(display, text, option.argument, params, url_choices)) failed = true;
            break;
        }
    }

    if (url_choices > 1) {
        display.message(UpdaterDisplayInterface::Error,
                        "Multiple update server URLs specified. Choose one of: --https, --http, or -U <host:port>.");
        failed = true;
    }

    Log::log(Log::DEBUG_APP, "\nApplication parameters:[%s]\n", params->app_name.c_str());
    for (int i = 0; i < argc && argv; ++i)
        Log::log(Log::DEBUG_APP, "\t[%s]\n", argv[i] ? argv[i] : "");

    return failed ? 1 : 0;
}
