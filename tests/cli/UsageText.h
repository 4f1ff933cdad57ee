// The usage text as a user reads it, written out by hand. @HOST@ stands for
// the configured update-server host.
#pragma once

#include <string>

namespace usage {

inline std::string WithHost(std::string text) {
    const std::string marker = "@HOST@";
    for (auto pos = text.find(marker); pos != std::string::npos; pos = text.find(marker))
        text.replace(pos, marker.size(), UPDATER_SERVER_HOST);
    return text;
}

const std::string kVersion = "Updater (Version: 2.12.4 May 26 2026)\n";
const std::string kCopyright = "Copyright (c) 2026 Velorn. All rights reserved.\n";
const std::string kBanner = kVersion + kCopyright;

const std::string kShort = R"(
Application Usage:
Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]
    [-d serial_num]
    [-t transport] [-r router_serial]
    [-s serial_port] [-o baud_rate]

  Tarnix Update and Maintenance Application
    -H -h or --help for full usage information.

)";

const std::string kParametersAndCommands = WithHost(R"(  Parameters to commands:
     -i <velorn_directory>    - The Velorn directory used for storage of 
                                firmware files. [Default: ~/.velorn ].
     -b <build number>        - Build version of the firmware to transfer.
                                [Default: latest version available].
     -d <device>              - Device serial number of the device to access.
     -t <transport type>      - communications method [USB,TCP,RECOVER].
     -f <bird file>           - Firmware file to be transferred to device.
     -r <router serial>       - indirect connection through router device
     -s <serial port>         - name of serial port to use for recovery
     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,
                                19200, 38400, 57600, 115200, 230400)

  Commands:
     -B                       - list the Builds available for given device.
     -L                       - list the local Builds available for given device.
     -D                       - Discover devices that are currently connected.
     -G                       - Get build file from the Velorn server and
                                store on local machine for download to device.
                                Must specify a specific device ["-d" option].
                                Default is to obtain the latest build for the
                                given device, override with "-b" option.

     -U                       - Update the firmware on device specified.
                                Must specify a specific device ["-d" option].
                                Default is to download the latest build for the
                                given device, override with "-b" option or
                                specify specific BIRD file using "-f" option.

     -J                       - Get a JWT containing the devices software features
     -H or -h                 - Display extended usage information.
     --http                   - Use HTTP for the update server (http://@HOST@/cgi/u).
     --https                  - Use HTTPS for the update server (https://@HOST@/cgi/u).
                                Recommended; HTTPS will be the default in the next major version.

)");

const std::string kExtended = WithHost(R"(  Extended Parameters:
     -e                       - echoing of bytes enabled during recovery.
     -m                       - Attemps to use UEIBytes for faster loading
     -l 'log message'         - message to place in device history log
     -k <filename>            - log messages written into given filename
                                Default:[APP.log]
     -u <host:port>           - The hostname and port of the update server
                                Default: @HOST@:port

  Extended Commands:
     -I                       - View stored device information.
                                Must either use DISCOVER command ["-D"] or
                                specify a specific device ["-d" option].
     -OVERRIDE                - Override the model checks for BIRD firmware files.
                                This option should only be used when authorized by
                                Velorn development engineers.
     -N                       - Get fingerprint from a device, requires -s
     -X <BIT_MASK>            - Bitmask for Logging
                                DEBUG_Updater       0x00000001
                                DEBUG_History       0x00000002
                                DEBUG_Attributes    0x00000004
                                DEBUG_BirdFile      0x00000008
                                DEBUG_Network       0x00000010
                                DEBUG_ServerComm    0x00000020

                                DEBUG_Network       0x00000100
                                DEBUG_Network_SR    0x00000200
                                DEBUG_Network_FIRM  0x00000400

                                DEBUG_NXPSerial     0x00001000
                                DEBUG_NXPSerial_E   0x00002000
                                DEBUG_NXPSerial_SR  0x00004000

                                DEBUG_APP           0x00010000

                                DEBUG_iMXSerial     0x10000000

     -C                       - Check the given BIRDFILE

)");

const std::string kSamples = R"( Sample usage:
     Updater -D
        Discover devices (on USB unless -t chooses the transport).
     Updater -D -t USB
        Discover the devices connected by USB.
     Updater -D -t USB -d 0F5849A
        Discover the devices connected by USB; -d does not filter the list.
     Updater -G -d 40F5849A
        Get the latest build for device 40F5849A into the local store.
     Updater -U -d 40F5849A
        Update device 40F5849A with the latest build available.
     Updater -G -d 40F5849A -b 99528558
        Get build 99528558 for device 40F5849A into the local store.
     Updater -G -U -d 40F5849A
        Get the latest build for device 40F5849A and update the device with it.
     Updater -U -t RECOVER -s /dev/serial
        Recover a device through its boot ROM on serial port /dev/serial.

 Sample usage for network discovery and updates:
     Updater -D -r D272031D
        Discover the devices on the I2C Tarnix network of routing device D272031D.
     Updater -G -U -d 2181F0EE -r D272031D
        Get the latest build for device 2181F0EE and update it through routing device D272031D.

)";

const std::string kHelp = kShort + kParametersAndCommands + kSamples;
const std::string kExtendedHelp = kShort + kParametersAndCommands + kExtended + kSamples;

} // namespace usage
