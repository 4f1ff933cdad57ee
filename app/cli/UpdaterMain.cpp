#include "UpdaterMain.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "CLI_Display.h"
#include "Log.h"
#include "ResultPrinters.h"
#include "SerialPortCheck.h"
#include "Updater.h"
#include "aDirectory.h"

namespace {

constexpr std::size_t kPathSize = 4096;

// <home>/.velorn/updater, or <-i directory>/updater, made when missing.
// Returns false (after reporting) when it cannot be had.
bool PrepareStoreDirectory(CLI_Display& display, Parameters& params) {
    char path[kPathSize];
    if (params.store_directory.empty()) {
        char home[2048] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        // An empty home would put the store at the file-system root.
        if (err == aErrNone && home[0] == '\0') err = aErrNotFound;
        if (err != aErrNone) {
            Log::log(Log::DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        if (aDirectory_BuildPath(path, sizeof path, home, ".velorn", nullptr) != aErrNone) {
            display.message(kError, "Could not find updater directory at %s", home);
            return false;
        }
        params.store_directory = path;
    }
    if (aDirectory_BuildPath(path, sizeof path, params.store_directory.c_str(), "updater", nullptr) != aErrNone) {
        display.message(kError, "Could not find updater directory at %s", params.store_directory.c_str());
        return false;
    }
    params.store_directory = path;
    // Ensure is content with anything already standing at the path, so a
    // file there is caught by asking for a directory afterwards.
    if (aDirectory_Ensure(path, 0755) != aErrNone || !aDirectory_Exists(path)) {
        display.message(kError, "Could not find updater directory at %s", path);
        return false;
    }
    return true;
}

unsigned BuildNumber(const std::string& text) {
    char* end = nullptr;
    return _get_int_arg(text.c_str(), &end);
}

// Runs the discovery -D asks for; `shown` gets the link type the list is shown with.
std::vector<DeviceInfo> DiscoverDevices(CLI_Display& display, Updater& updater, const Parameters& params,
                                        linkType& shown) {
    const bool use_transport = params.transport_given && params.transport != kTransportRecover;
    const linkType type = use_transport ? static_cast<linkType>(params.transport) : INVALID;
    shown = type;
    if (params.router_serial_number != 0) {
        display.message(kInfo, "Searching for Tarnix Network devices connected to %08X",
                        params.router_serial_number);
        return updater.Discover_TarnixNetwork_Devices(params.router_serial_number, type);
    }
    display.message(kInfo, "Searching for Tarnix devices");
    shown = type == INVALID ? USB : type;
    return updater.Discover_Devices(shown);
}

int Discover(CLI_Display& display, Updater& updater, const Parameters& params) {
    linkType shown = INVALID;
    std::vector<DeviceInfo> devices = DiscoverDevices(display, updater, params, shown);
    _display_device_list(display, devices, shown);
    return 0;
}

// -I -d S: what the store knows about S. Reads only.
int ShowStoredDevice(CLI_Display& display, Updater& updater, unsigned serial) {
    const ResultOf<StoredDevice> device = updater.Get_StoredDevice(serial);
    if (!device.ok()) return 1;
    _display_stored_device(display, device.value(), serial);
    return 0;
}

// -I -D: the stored information of every module discovery finds, in place
// of the discovery list. A module the store does not know is no failure.
int ShowDiscoveredDevices(CLI_Display& display, Updater& updater, const Parameters& params) {
    linkType shown = INVALID;
    std::vector<DeviceInfo> devices = DiscoverDevices(display, updater, params, shown);
    if (devices.empty()) display.message(kInfo, "    No devices found.");
    std::set<uint32_t> done; // a module found on two transports is shown once
    for (const auto& found : devices)
        if (done.insert(found.spec.serial_num).second) ShowStoredDevice(display, updater, found.spec.serial_num);
    return 0;
}

// -C -f FILE [-d S]: 0 when an update could use the file.
int CheckBirdFile(CLI_Display& display, Updater& updater, const Parameters& params) {
    if (params.bird_file.empty()) {
        display.message(kError, "-C must specify a BIRD file via -f");
        display.message(kError, "--help for usage information");
        return 1;
    }
    const BirdCheckReport report = updater.Check_BirdFile(params.bird_file, params.serial_number);
    _display_bird_check(display, report);
    return report.problems.empty() ? 0 : 1;
}

// -N and recovery: the port and rate must be usable before a chip is asked,
// or a typo would end as "no response from chip" or run at another rate.
bool SerialArgumentsUsable(CLI_Display& display, const Parameters& params) {
    for (const std::string& problem : {SerialPortProblem(params.serial_port),
                                       BaudRateProblem(params.baud_rate, params.baud_rate_text)}) {
        if (!problem.empty()) {
            display.message(kError, "%s", problem.c_str());
            return false;
        }
    }
    return true;
}

int Update(CLI_Display& display, Updater& updater, const Parameters& params) {
    const unsigned build = BuildNumber(params.build);
    updater.Set_UEIBytes_Load(params.uei_bytes_load);
    updater.Set_HistoryNote(params.log_message);
    // Each failure has been shown; the command line turns the Result into its exit status.
    Result result;
    if (params.transport == kTransportRecover) {
        if (!SerialArgumentsUsable(display, params)) return 1;
        result = updater.Recover_Firmware(params.serial_port, build, params.baud_rate, params.serial_number,
                                          params.bird_file, params.override);
    } else {
        if (params.serial_number == 0) {
            display.message(kError, "Must specify the specific device to be updated");
            return 1;
        }
        result = updater.Update_Firmware(params.serial_number, build, params.bird_file, params.module_address,
                                         params.router_serial_number, params.override);
    }
    return result.ok() ? 0 : 1;
}

// -B, -L and -J share their shape: a serial number is required.
bool RequireSerial(CLI_Display& display, const Parameters& params, const char* message) {
    if (params.serial_number != 0) return true;
    display.message(kError, "%s", message);
    _display_usage(false, false);
    return false;
}

int Dispatch(CLI_Display& display, Parameters& params, Updater& updater) {
    int pending = 0;

    if (params.commands.IsSet(COMMAND_FINGERPRINT)) {
        if (!SerialArgumentsUsable(display, params)) return 1;
        const ResultOf<Fingerprint> fingerprint =
            updater.Get_Fingerprint(params.serial_port, kNoParticularDevice, params.bird_file, params.baud_rate, true);
        if (fingerprint.ok()) {
            _display_fingerprint(display, fingerprint.value());
        } else {
            display.message(kError, "Got no response from chip");
            pending = 1;
        }
    }

    if (params.commands.IsSet(COMMAND_GET_BUILD)) {
        if (params.serial_number == 0) {
            display.message(kError, "-G must specify a specific device via -d");
            display.message(kError, "--help for usage information");
            return 1;
        }
        display.message(kInfo, "Retrieving firmware for device with serial number %08X", params.serial_number);
        if (params.build.empty()) {
            display.message(kInfo, "No build specified");
            display.message(kInfo, "Using Latest build");
        } else {
            display.message(kInfo, "Retrieving firmware build %s", params.build.c_str());
        }
        const ResultOf<unsigned> got =
            updater.Download_Firmware(params.serial_number, params.build, params.override, false);
        if (got.ok()) {
            params.build = std::to_string(got.value());
            pending = 0;
        } else {
            pending = 1;
        }
    }

    if (params.commands.IsSet(COMMAND_DISCOVER)) {
        if (params.commands.IsSet(COMMAND_SHOW_INFO)) return ShowDiscoveredDevices(display, updater, params);
        return Discover(display, updater, params);
    }
    if (params.commands.IsSet(COMMAND_UPDATE)) return Update(display, updater, params);
    if (params.commands.IsSet(COMMAND_LIST_BUILDS)) {
        if (!RequireSerial(display, params, "Error must supply a serial number for the List Builds command"))
            return 1;
        const BuildList builds = updater.Get_BuildList(params.serial_number);
        _display_builds(display, builds, params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(COMMAND_LIST_LOCAL_BUILDS)) {
        if (!RequireSerial(display, params, "Error must supply a serial number for the List Local Builds command"))
            return 1;
        const BuildList builds = updater.Get_BuildListLocal(params.serial_number);
        _display_builds(display, builds, params.serial_number);
        return 0;
    }
    if (params.commands.IsSet(COMMAND_GET_JWT)) {
        if (!RequireSerial(display, params, "Error must supply a serial number for the Get JWT command"))
            return 1;
        const std::string token = updater.Get_JWT(params.serial_number);
        _display_jwt(display, token);
        return 0;
    }
    // -I and -C run when none of the commands above did. -I without a device
    // (and without -D) has nothing to show.
    int status = pending;
    if (params.commands.IsSet(COMMAND_SHOW_INFO) && params.serial_number != 0)
        status |= ShowStoredDevice(display, updater, params.serial_number);
    if (params.commands.IsSet(COMMAND_CHECK_BIRD)) status |= CheckBirdFile(display, updater, params);
    return status;
}

// Sends the debug log to the -k file for the run, when one is given.
class LogFile {
public:
    LogFile(CLI_Display& display, int argc, char** argv, const std::string& mode) {
        std::string path;
        if (!_find_log_file(argc, argv, path)) return;
        if (!Log::OpenFile(path.c_str(), mode.c_str()))
            display.message(kError, "Could not open log file %s (%s), logging to standard error", path.c_str(),
                            std::strerror(errno));
    }
    ~LogFile() { Log::CloseFile(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
};

} // namespace

int updater_main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);
    const LogFile log_file(display, argc, argv, params.log_mode);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    _display_app_version(display);

    if (params.commands.IsSet(COMMAND_HELP) || !params.commands.IsSet(kAnyCommand)) {
        _display_copyright(display);
        _display_usage(params.debug_mask_given, params.help);
        return 0;
    }

    if (!PrepareStoreDirectory(display, params)) return 1;
    Updater updater(params.server_url.c_str(), params.store_directory.c_str(), display);
    const int status = Dispatch(display, params, updater);
    _explain_usb_access(display, updater);
    return status;
}
